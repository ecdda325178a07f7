// Fuzzes the install locator with arbitrary registry values (any bytes, any
// length, any type), Program Files paths and buffer capacities, under
// AddressSanitizer and UndefinedBehaviorSanitizer. Whatever the input, a lookup
// must stay inside its buffers and leave either nothing or an editor path whose
// script archive path fits a path buffer.
//
// Input: [type][flags][capacity:2][program files length:2][program files path][value]
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "InstallLocator.h"

namespace {

struct Scenario {
  uint32_t type = 0;
  bool keyPresent = false;
  bool queryFails = false;
  bool registryPathExists = false;
  bool shellLocates = false;
  bool shellConverts = false;
  bool programFilesPathExists = false;
  std::vector<unsigned char> value;
  std::vector<char> programFiles;
};

Scenario current;
OsRegKey const kKey = reinterpret_cast<OsRegKey>(0x10);
OsItemList const kList = reinterpret_cast<OsItemList>(0x20);
int openKeys = 0;
int openLists = 0;

void Check(bool condition) {
  if (!condition) {
    abort();  // libFuzzer records the input as a crash
  }
}

// A found path: within the limit, ending in the executable tail, and its script
// archive path is exactly the expected 17 bytes longer.
void CheckFound(const char* out, size_t capacity) {
  const void* end = memchr(out, 0, capacity);
  Check(end != nullptr);
  size_t length = static_cast<size_t>(static_cast<const char*>(end) - out);
  if (length == 0) {
    return;
  }
  Check(length >= 10 && length <= static_cast<size_t>(kMaxExePathLength));
  Check(strncasecmp(out + length - 10, "\\ZEMLO.exe", 10) == 0);
  if (capacity < static_cast<size_t>(kPathCapacity)) {
    return;
  }
  char scripts[kPathCapacity];
  ScriptsPathFromExePath(out, scripts);
  Check(strlen(scripts) == length + 17);
  Check(memcmp(scripts, out, length - 10) == 0);
  Check(strcmp(scripts + length - 10, "\\System\\Data\\Scripts.zmdata") == 0);
}

}  // namespace

// ---- The seam, from the fuzz input ---------------------------------------------

long OsRegOpenClassesKey(const char*, uint32_t, uint32_t, OsRegKey* key) {
  if (!current.keyPresent) {
    return 2;
  }
  ++openKeys;
  *key = kKey;
  return 0;
}

long OsRegQueryValueEx(OsRegKey key, const char*, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  Check(key == kKey);
  if (current.queryFails) {
    return 2;
  }
  *type = current.type;
  uint32_t size = static_cast<uint32_t>(current.value.size());
  if (size > *byteCount) {
    *byteCount = size;
    return kErrorMoreData;
  }
  if (size > 0) {
    memcpy(data, current.value.data(), size);
  }
  *byteCount = size;
  return 0;
}

long OsRegCloseKey(OsRegKey key) {
  Check(key == kKey && openKeys > 0);
  --openKeys;
  return 0;
}

long OsShGetSpecialFolderLocation(void* owner, int csidl, OsItemList* list) {
  Check(owner == nullptr && csidl == kCsidlProgramFiles);
  if (!current.shellLocates) {
    return static_cast<long>(0x80004005);
  }
  ++openLists;
  *list = kList;
  return 0;
}

int OsShGetPathFromIdList(OsItemList list, char* path) {
  Check(list == kList);
  // The real call writes up to kShellPathCapacity bytes and fails for longer paths.
  if (!current.shellConverts || current.programFiles.size() >= kShellPathCapacity) {
    return 0;
  }
  size_t length = current.programFiles.size();
  if (length > 0) {
    memcpy(path, current.programFiles.data(), length);
  }
  path[length] = 0;
  return 1;
}

void OsIlFree(OsItemList list) {
  Check(list == kList && openLists > 0);
  --openLists;
}

uint32_t OsGetFileAttributes(const char* path) {
  Check(memchr(path, 0, kPathCapacity) != nullptr);
  bool fromRegistry = strstr(path, "\\Kestramoor\\ZEMLO\\ZEMLO.exe") == nullptr;
  bool exists = fromRegistry ? current.registryPathExists : current.programFilesPathExists;
  return exists ? 0x20 : kInvalidFileAttributes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) {
    return 0;
  }
  current = Scenario();
  current.type = data[0] % 8;
  current.keyPresent = data[1] & 0x01;
  current.queryFails = data[1] & 0x02;
  current.registryPathExists = data[1] & 0x04;
  current.shellLocates = data[1] & 0x08;
  current.shellConverts = data[1] & 0x10;
  current.programFilesPathExists = data[1] & 0x20;
  size_t capacity = 1 + (data[2] | data[3] << 8) % kPathCapacity;
  size_t programFilesLength = (data[4] | data[5] << 8) % 300;
  data += 6;
  size -= 6;
  programFilesLength = programFilesLength < size ? programFilesLength : size;
  for (size_t i = 0; i < programFilesLength; ++i) {
    current.programFiles.push_back(data[i] ? static_cast<char>(data[i]) : '_');
  }
  current.value.assign(data + programFilesLength, data + size);

  // The program's own call: fixed buffers of kPathCapacity bytes.
  char out[kPathCapacity];
  LocateExe(out);
  CheckFound(out, sizeof out);

  // Each lookup with a buffer of exactly `capacity` bytes on the heap, so that
  // AddressSanitizer sees the first byte past it.
  std::vector<char> exact(capacity);
  LocateExeByRegistry(exact.data(), static_cast<int>(capacity));
  CheckFound(exact.data(), capacity);
  LocateExeByProgramFiles(exact.data(), static_cast<int>(capacity));
  CheckFound(exact.data(), capacity);

  Check(openKeys == 0 && openLists == 0);
  return 0;
}
