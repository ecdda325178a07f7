#include "FakePlatform.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace fake {
namespace {

namespace fs = std::filesystem;

constexpr int kIdOk = 1;
constexpr int kIdNo = 7;
constexpr long kErrorFileNotFound = 2;
constexpr long kEFail = static_cast<long>(0x80004005);

struct Hidden {
  State state;
  std::string root;
  std::map<std::string, uint32_t> attributes;  // by host path
  int calls[static_cast<int>(Op::Count)] = {};
  std::set<int> failures[static_cast<int>(Op::Count)];
};

Hidden& H() {
  static Hidden hidden;
  return hidden;
}

// Counts the call and tells whether it is one the test made fail.
bool Fails(Op op) {
  int index = static_cast<int>(op);
  int n = ++H().calls[index];
  return H().failures[index].count(n) != 0;
}

uint32_t AttributesOf(const std::string& hostPath) {
  auto found = H().attributes.find(hostPath);
  return found == H().attributes.end() ? 0 : found->second;
}

OsRegKey kTheKey = reinterpret_cast<OsRegKey>(0x1234);
OsItemList kTheList = reinterpret_cast<OsItemList>(0x5678);

}  // namespace

const char* OpName(Op op) {
  static const char* const kNames[] = {
      "RegOpenKey",  "RegQueryValue", "RegCloseKey", "SpecialFolderLocation",
      "PathFromIdList", "IlFree",     "GetFileAttributes", "ShowMessage",
      "FileOpen",    "FileGetc",      "FileClose"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(Op::Count));
  return kNames[static_cast<int>(op)];
}

State& Get() { return H().state; }

void Reset() {
  Hidden& h = H();
  if (!h.root.empty()) {
    std::error_code ignored;
    fs::remove_all(h.root, ignored);
  }
  std::string pattern = (fs::temp_directory_path() / "zemlo-fake-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr) {
    abort();
  }
  h.root = buffer.data();
  h.state = State();
  h.attributes.clear();
  for (int i = 0; i < static_cast<int>(Op::Count); ++i) {
    h.calls[i] = 0;
    h.failures[i].clear();
  }
}

void SetCommand(const std::string& command) {
  Get().registry.keyPresent = true;
  Get().registry.type = kRegSz;
  Get().registry.data = command + std::string(1, '\0');
}

std::string HostPath(const std::string& windowsPath) {
  std::string path = windowsPath;
  if (path.size() >= 2 && path[1] == ':') {
    path.erase(1, 1);  // "C:\x" lives under <root>/C/x
  }
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  if (path.empty() || path[0] != '/') {
    path.insert(0, "/");
  }
  return H().root + path;
}

void WriteFile(const std::string& windowsPath, const std::string& bytes) {
  fs::path host = HostPath(windowsPath);
  fs::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& windowsPath) {
  std::ifstream in(HostPath(windowsPath), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& windowsPath) { return fs::exists(HostPath(windowsPath)); }

void MakeFolder(const std::string& windowsPath) { fs::create_directories(HostPath(windowsPath)); }

void SetAttributes(const std::string& windowsPath, uint32_t attributes) {
  H().attributes[HostPath(windowsPath)] = attributes;
}

void FailCall(Op op, int n) { H().failures[static_cast<int>(op)].insert(n); }

int Calls(Op op) { return H().calls[static_cast<int>(op)]; }

bool OpenedForWriting() {
  for (const StreamOpen& open : Get().streamOpens) {
    if (open.mode.find_first_of("wa+") != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace fake

using fake::Fails;
using fake::Get;
using fake::Op;

// ---- The seam ---------------------------------------------------------------

long OsRegOpenClassesKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  fake::Registry& registry = Get().registry;
  registry.opens++;
  registry.openedSubkey = subkey;
  registry.openedOptions = options;
  registry.openedAccess = access;
  if (Fails(Op::RegOpenKey) || !registry.keyPresent) {
    return fake::kErrorFileNotFound;
  }
  *key = fake::kTheKey;
  return kErrorSuccess;
}

long OsRegQueryValueEx(OsRegKey key, const char* valueName, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  fake::Registry& registry = Get().registry;
  registry.queriedName = valueName;
  registry.offeredBytes = *byteCount;
  if (key != fake::kTheKey) {
    abort();
  }
  if (Fails(Op::RegQueryValue)) {
    return fake::kErrorFileNotFound;
  }
  if (registry.queryResult != kErrorSuccess) {
    return registry.queryResult;
  }
  *type = registry.type;
  uint32_t size = static_cast<uint32_t>(registry.data.size());
  if (size > *byteCount) {
    *byteCount = size;
    return 234;  // ERROR_MORE_DATA: nothing is copied
  }
  memcpy(data, registry.data.data(), size);
  *byteCount = size;
  return kErrorSuccess;
}

long OsRegCloseKey(OsRegKey key) {
  if (key != fake::kTheKey) {
    abort();
  }
  Get().registry.closes++;
  Fails(Op::RegCloseKey);
  return kErrorSuccess;
}

long OsShGetSpecialFolderLocation(void* owner, int csidl, OsItemList* list) {
  fake::Shell& shell = Get().shell;
  shell.locationCalls++;
  shell.owner = owner;
  shell.csidl = csidl;
  if (Fails(Op::SpecialFolderLocation) || !shell.locationSucceeds) {
    return fake::kEFail;
  }
  shell.listsOutstanding++;
  *list = fake::kTheList;
  return kSOk;
}

int OsShGetPathFromIdList(OsItemList list, char* path) {
  if (list != fake::kTheList) {
    abort();
  }
  fake::Shell& shell = Get().shell;
  if (Fails(Op::PathFromIdList) || !shell.conversionSucceeds) {
    return 0;
  }
  // Like the real call: at most MAX_PATH bytes, whatever the buffer.
  size_t length = shell.programFiles.size();
  if (length >= static_cast<size_t>(kShellPathCapacity)) {
    return 0;
  }
  memcpy(path, shell.programFiles.c_str(), length + 1);
  return 1;
}

void OsIlFree(OsItemList list) {
  if (list != fake::kTheList) {
    abort();
  }
  Fails(Op::IlFree);
  Get().shell.listsOutstanding--;
  Get().shell.listsFreed++;
}

uint32_t OsGetFileAttributes(const char* path) {
  if (Fails(Op::GetFileAttributes)) {
    return kInvalidFileAttributes;
  }
  std::string host = fake::HostPath(path);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    return kInvalidFileAttributes;
  }
  uint32_t attributes = S_ISDIR(info.st_mode) ? kFileAttributeDirectory : 0x20 /* archive */;
  return attributes | fake::AttributesOf(host);
}

int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind) {
  fake::State& state = Get();
  state.boxes.push_back(fake::Box{text, caption, kind, owner});
  Fails(Op::ShowMessage);
  size_t asked = state.boxes.size() - 1;
  if (asked < state.answers.size()) {
    return state.answers[asked];
  }
  return (kind & 0x0F) == kMbYesNo ? fake::kIdNo : fake::kIdOk;
}

FILE* OsFileOpen(const char* path, const char* mode) {
  Get().streamOpens.push_back(fake::StreamOpen{path, mode});
  if (Fails(Op::FileOpen)) {
    return nullptr;
  }
  std::string host = fake::HostPath(path);
  struct stat info;
  bool exists = stat(host.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    return nullptr;  // a folder is never a stream on Windows
  }
  uint32_t attributes = fake::AttributesOf(host);
  bool writes = strpbrk(mode, "wa+") != nullptr;
  bool creates = strpbrk(mode, "wa") != nullptr;
  if (exists && writes &&
      ((attributes & kFileAttributeReadonly) ||
       (creates && (attributes & (kFileAttributeHidden | kFileAttributeSystem))))) {
    return nullptr;
  }
  FILE* stream = fopen(host.c_str(), mode);
  if (stream != nullptr) {
    Get().openStreams++;
  }
  return stream;
}

int OsFileGetc(FILE* stream) {
  if (Fails(Op::FileGetc)) {
    return EOF;
  }
  return fgetc(stream);
}

int OsFileClose(FILE* stream) {
  Get().openStreams--;
  int result = fclose(stream);
  return Fails(Op::FileClose) ? EOF : result;
}
