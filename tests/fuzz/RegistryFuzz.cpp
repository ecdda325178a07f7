// Fuzzes the install locator with arbitrary registry values (any bytes, any
// length, any type), drive mappings of the same kind, Program Files paths and
// buffer capacities, under AddressSanitizer and UndefinedBehaviorSanitizer.
// Whatever the input, a lookup must stay inside its buffers and leave either
// nothing or an editor path whose script archive path fits a path buffer.
//
// Input: [type][flags][capacity:2][program files length:2][mapping][mapping length:2]
//        [program files path][mapping value][value]
// mapping: bits 0-2 its type, 3 the key is there, 4 its query fails, 5 the
// association's drive letter is missing, 6 something is at the path on the share.
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
  uint32_t mappingType = 0;
  bool mappingPresent = false;
  bool mappingQueryFails = false;
  bool driveMissing = false;
  bool sharePathExists = false;
  std::vector<unsigned char> mapping;
  std::vector<unsigned char> value;
  std::vector<char> programFiles;
};

Scenario current;
OsRegKey const kKey = reinterpret_cast<OsRegKey>(0x10);
OsRegKey const kMappingKey = reinterpret_cast<OsRegKey>(0x30);
OsItemList const kList = reinterpret_cast<OsItemList>(0x20);
int openKeys = 0;
int openLists = 0;

// The drive the mapping bits may take away: M:, in either case.
bool OnDriveM(const char* path) { return (path[0] == 'M' || path[0] == 'm') && path[1] == ':'; }

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

long OsRegOpenUserKey(const char* subkey, uint32_t, uint32_t, OsRegKey* key) {
  // Asked only for the letter of a path on the missing drive.
  Check(current.driveMissing && strcmp(subkey, "Network\\M") == 0);
  if (!current.mappingPresent) {
    return 2;
  }
  ++openKeys;
  *key = kMappingKey;
  return 0;
}

long OsRegQueryValueEx(OsRegKey key, const char*, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  Check(key == kKey || key == kMappingKey);
  const bool mapping = key == kMappingKey;
  if (mapping ? current.mappingQueryFails : current.queryFails) {
    return 2;
  }
  const std::vector<unsigned char>& stored = mapping ? current.mapping : current.value;
  *type = mapping ? current.mappingType : current.type;
  uint32_t size = static_cast<uint32_t>(stored.size());
  if (size > *byteCount) {
    *byteCount = size;
    return kErrorMoreData;
  }
  if (size > 0) {
    memcpy(data, stored.data(), size);
  }
  *byteCount = size;
  return 0;
}

long OsRegCloseKey(OsRegKey key) {
  Check((key == kKey || key == kMappingKey) && openKeys > 0);
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
  bool exists = current.registryPathExists;
  if (current.driveMissing && OnDriveM(path)) {
    exists = false;
  } else if (strstr(path, "\\Kestramoor\\ZEMLO\\ZEMLO.exe") != nullptr) {
    exists = current.programFilesPathExists;
  } else if (current.driveMissing && path[0] == '\\' && path[1] == '\\') {
    exists = current.sharePathExists;  // put on the share by the mapping
  }
  return exists ? 0x20 : kInvalidFileAttributes;
}

uint32_t OsGetDriveType(const char* root) {
  Check(strlen(root) == 3 && root[1] == ':' && root[2] == '\\');
  return current.driveMissing && OnDriveM(root) ? kDriveNoRootDir : 3;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) {
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
  current.mappingType = data[6] % 8;
  current.mappingPresent = data[6] & 0x08;
  current.mappingQueryFails = data[6] & 0x10;
  current.driveMissing = data[6] & 0x20;
  current.sharePathExists = data[6] & 0x40;
  size_t mappingLength = (data[7] | data[8] << 8) % 1200;
  data += 9;
  size -= 9;
  programFilesLength = programFilesLength < size ? programFilesLength : size;
  for (size_t i = 0; i < programFilesLength; ++i) {
    current.programFiles.push_back(data[i] ? static_cast<char>(data[i]) : '_');
  }
  data += programFilesLength;
  size -= programFilesLength;
  mappingLength = mappingLength < size ? mappingLength : size;
  current.mapping.assign(data, data + mappingLength);
  current.value.assign(data + mappingLength, data + size);

  // The program's own call: fixed buffers of kPathCapacity bytes.
  char out[kPathCapacity];
  LocateExe(out);
  CheckFound(out, sizeof out);

  // Each lookup with a buffer of exactly `capacity` bytes on the heap, so that
  // AddressSanitizer sees the first byte past it.
  std::vector<char> exact(capacity);
  LocateExeByRegistry(exact.data(), static_cast<int>(capacity));
  CheckFound(exact.data(), capacity);
  Check(!(current.driveMissing && OnDriveM(exact.data())));  // nothing is on that drive
  LocateExeByProgramFiles(exact.data(), static_cast<int>(capacity));
  CheckFound(exact.data(), capacity);

  Check(openKeys == 0 && openLists == 0);
  return 0;
}
