#include "FakePlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace fake {
namespace {

namespace fs = std::filesystem;

constexpr int kIdOk = 1;
constexpr int kIdNo = 7;
constexpr long kErrorGenFailure = 31;
constexpr long kEFail = static_cast<long>(0x80004005);

struct Refusal {
  int first;
  int count;
  long error;
};

struct Hidden {
  State state;
  std::string root;
  std::map<char, std::string> drives;
  std::map<std::string, uint32_t> attributes;  // by host path
  std::set<std::string> inUse;                 // by host path
  std::set<std::string> denied;                // by host path
  std::set<std::string> beingWritten;          // by host path
  std::set<std::string> deletePending;         // by host path
  std::set<std::string> freedWhenLookedAt;     // of those, by host path
  std::set<std::string> heldForDeletion;       // by host path
  std::set<char> hiddenDrives;
  std::map<FILE*, std::string> sharedOpens;  // stream: host path
  std::map<FILE*, std::string> created;      // created new and open, sharing deletion only
  std::set<FILE*> readFailed;                // a read on the stream failed
  std::map<OsHandle, std::string> handles;   // open handle: Windows path
  OsHandle nextHandle = 100;
  int calls[static_cast<int>(Op::Count)] = {};
  std::vector<Refusal> refusals[static_cast<int>(Op::Count)];
  long lastError = 0;
};

Hidden& H() {
  static Hidden hidden;
  return hidden;
}

// Counts the call and tells whether it is one the test made fail.
bool Fails(Op op) {
  int index = static_cast<int>(op);
  int n = ++H().calls[index];
  for (const Refusal& refusal : H().refusals[index]) {
    if (n >= refusal.first && n - refusal.first < refusal.count) {
      H().lastError = refusal.error;
      return true;
    }
  }
  return false;
}

// A failure the emulated system reports by itself, with its error.
template <typename Result>
Result Refused(long error, Result result) {
  H().lastError = error;
  return result;
}

uint32_t AttributesOf(const std::string& hostPath) {
  auto found = H().attributes.find(hostPath);
  return found == H().attributes.end() ? 0 : found->second;
}

// What Windows reports of an entry: a folder, or a file with the archive attribute,
// and whatever the test set on it.
uint32_t WindowsAttributes(const std::string& hostPath, const struct stat& info) {
  return (S_ISDIR(info.st_mode) ? kFileAttributeDirectory : 0x20 /* archive */) |
         AttributesOf(hostPath);
}

bool IsFolder(const std::string& hostPath) {
  struct stat info;
  return stat(hostPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsPresent(const std::string& hostPath) {
  struct stat info;
  return stat(hostPath.c_str(), &info) == 0;
}

// Whether a file created new is open on the entry: nobody else may open it then.
bool HeldOpen(const std::string& hostPath) {
  for (const auto& open : H().created) {
    if (open.second == hostPath) {
      return true;
    }
  }
  return false;
}

// Whether Windows would let this process write to or replace the file.
bool Writable(const std::string& hostPath) {
  return !(AttributesOf(hostPath) & kFileAttributeReadonly) && !H().inUse.count(hostPath) &&
         !H().denied.count(hostPath);
}

constexpr FileTime kTicksPerSecond = 10000000;
constexpr FileTime kUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME

// Days from 1601-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysSince1601(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  int64_t era = year / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 584694;  // 584694: days from 0000-03-01 to 1601-01-01
}

OsRegKey kTheKey = reinterpret_cast<OsRegKey>(0x1234);

// A key under HKEY_CURRENT_USER is its entry in State::userKeys; any other key is
// none the stand-in gave out.
Registry& KeyOf(OsRegKey key) {
  if (key == kTheKey) {
    return Get().registry;
  }
  for (auto& entry : Get().userKeys) {
    if (reinterpret_cast<OsRegKey>(&entry.second) == key) {
      return entry.second;
    }
  }
  abort();
}

bool OnHiddenDrive(const std::string& windowsPath) {
  return windowsPath.size() >= 2 && windowsPath[1] == ':' &&
         H().hiddenDrives.count(static_cast<char>(toupper(windowsPath[0]))) != 0;
}
OsItemList kTheList = reinterpret_cast<OsItemList>(0x5678);

}  // namespace

const char* OpName(Op op) {
  static const char* const kNames[] = {"RegOpenKey",
                                       "RegQueryValue",
                                       "RegCloseKey",
                                       "RegOpenUserKey",
                                       "SpecialFolderLocation",
                                       "PathFromIdList",
                                       "IlFree",
                                       "GetFileAttributes",
                                       "GetDriveType",
                                       "ShowMessage",
                                       "FileOpen",
                                       "FileCreateNew",
                                       "FileOpenEntry",
                                       "FileAttributesAndLength",
                                       "FileRead",
                                       "FileWrite",
                                       "FileFlushToDisk",
                                       "FileClose",
                                       "MoveFileEx",
                                       "DeleteFile",
                                       "SystemTimeToFileTime",
                                       "LocalFileTimeToFileTime",
                                       "CreateFile",
                                       "SetFileTime",
                                       "CloseHandle"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(Op::Count));
  return kNames[static_cast<int>(op)];
}

State& Get() { return H().state; }

static void RemoveRoot() {
  if (!H().root.empty()) {
    std::error_code ignored;
    fs::remove_all(H().root, ignored);
    H().root.clear();
  }
}

void Reset() {
  Hidden& h = H();
  static const bool cleanupAtExit = std::atexit(RemoveRoot) == 0;
  (void)cleanupAtExit;
  RemoveRoot();
  // Memory-backed where there is one: the tests write megabytes and flush them often.
  fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "zemlo-fake-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr) {
    abort();
  }
  h.root = buffer.data();
  h.state = State();
  h.drives.clear();
  h.attributes.clear();
  h.inUse.clear();
  h.denied.clear();
  h.beingWritten.clear();
  h.deletePending.clear();
  h.freedWhenLookedAt.clear();
  h.heldForDeletion.clear();
  h.hiddenDrives.clear();
  h.sharedOpens.clear();
  h.created.clear();
  h.readFailed.clear();
  h.handles.clear();
  for (int i = 0; i < static_cast<int>(Op::Count); ++i) {
    h.calls[i] = 0;
    h.refusals[i].clear();
  }
  h.lastError = 0;
}

void SetCommand(const std::string& command) {
  Get().registry.keyPresent = true;
  Get().registry.type = kRegSz;
  Get().registry.data = command + std::string(1, '\0');
}

std::string HostPath(const std::string& windowsPath) {
  std::string path = windowsPath;
  std::string base = H().root;
  if (path.size() >= 2 && path[1] == ':') {
    auto mapped = H().drives.find(path[0]);
    if (mapped != H().drives.end()) {
      base = mapped->second;
      path.erase(0, 2);
    } else {
      path.erase(1, 1);  // "C:\x" lives under <root>/C/x
    }
  }
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  if (path.empty() || path[0] != '/') {
    path.insert(0, "/");
  }
  return base + path;
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

void MakeFolder(const std::string& windowsPath) { fs::create_directories(HostPath(windowsPath)); }

void SetAttributes(const std::string& windowsPath, uint32_t attributes) {
  H().attributes[HostPath(windowsPath)] = attributes;
}

void SetInUse(const std::string& windowsPath) { H().inUse.insert(HostPath(windowsPath)); }

void SetAccessDenied(const std::string& windowsPath) { H().denied.insert(HostPath(windowsPath)); }

void SetBeingWritten(const std::string& windowsPath) {
  H().beingWritten.insert(HostPath(windowsPath));
}

void MapDrive(char letter, const std::string& hostFolder) { H().drives[letter] = hostFolder; }

void HideDrive(char letter) { H().hiddenDrives.insert(static_cast<char>(toupper(letter))); }

void SetDriveMapping(char letter, const std::string& remotePath) {
  Registry& mapping = Get().userKeys[std::string("Network\\") + letter];
  mapping.keyPresent = true;
  mapping.type = kRegSz;
  mapping.data = remotePath + std::string(1, '\0');
}

void SetDeletePending(const std::string& windowsPath) {
  H().deletePending.insert(HostPath(windowsPath));
}

void SetDeletePendingUntilLookedAt(const std::string& windowsPath) {
  SetDeletePending(windowsPath);
  H().freedWhenLookedAt.insert(HostPath(windowsPath));
}

void SetHeldForDeletion(const std::string& windowsPath) {
  H().heldForDeletion.insert(HostPath(windowsPath));
}

std::vector<std::string> ListFolder(const std::string& windowsPath) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(HostPath(windowsPath))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Refuse(Op op, int first, int count, long error) {
  H().refusals[static_cast<int>(op)].push_back(Refusal{first, count, error});
}

void FailCall(Op op, int n) { Refuse(op, n, 1, kErrorGenFailure); }

void ClearFaults() {
  for (std::vector<Refusal>& refusals : H().refusals) {
    refusals.clear();
  }
}

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
using fake::H;
using fake::Op;
using fake::Refused;

// ---- The seam ---------------------------------------------------------------

long OsLastError() { return H().lastError; }

void OsPause(int milliseconds) {
  Get().pauses.push_back(milliseconds);
  std::function<void()> meanwhile;
  meanwhile.swap(Get().duringNextPause);
  if (meanwhile) {
    meanwhile();
  }
}

namespace {

long OpenKey(fake::Registry& registry, fake::Op op, const char* subkey, uint32_t options,
             uint32_t access, OsRegKey* key, OsRegKey handle) {
  registry.opens++;
  registry.openedSubkey = subkey;
  registry.openedOptions = options;
  registry.openedAccess = access;
  if (Fails(op) || !registry.keyPresent) {
    return kErrorFileNotFound;
  }
  *key = handle;
  registry.keysOpen++;
  return kErrorSuccess;
}

}  // namespace

long OsRegOpenClassesKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  return OpenKey(Get().registry, Op::RegOpenKey, subkey, options, access, key, fake::kTheKey);
}

long OsRegOpenUserKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  fake::Registry& registry = Get().userKeys[subkey];  // an absent key: keyPresent false
  return OpenKey(registry, Op::RegOpenUserKey, subkey, options, access, key,
                 reinterpret_cast<OsRegKey>(&registry));
}

long OsRegQueryValueEx(OsRegKey key, const char* valueName, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  fake::Registry& registry = fake::KeyOf(key);
  registry.queriedName = valueName;
  registry.offeredBytes = *byteCount;
  if (Fails(Op::RegQueryValue)) {
    return kErrorFileNotFound;
  }
  if (registry.queryResult != kErrorSuccess) {
    return registry.queryResult;
  }
  *type = registry.type;
  uint32_t size = static_cast<uint32_t>(registry.data.size());
  if (size > *byteCount) {
    *byteCount = size;
    return kErrorMoreData;  // nothing is copied
  }
  memcpy(data, registry.data.data(), size);
  *byteCount = size;
  return kErrorSuccess;
}

long OsRegCloseKey(OsRegKey key) {
  fake::Registry& registry = fake::KeyOf(key);
  registry.closes++;
  registry.keysOpen--;
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
  // Like the real call: at most kShellPathCapacity bytes, whatever the buffer.
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
  if (fake::OnHiddenDrive(path)) {
    return Refused(kErrorPathNotFound, kInvalidFileAttributes);
  }
  std::string host = fake::HostPath(path);
  if (H().freedWhenLookedAt.erase(host) != 0) {
    H().deletePending.erase(host);  // the other program let go just before the look
  }
  if (H().deletePending.count(host)) {
    return Refused(kErrorAccessDenied, kInvalidFileAttributes);
  }
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    return Refused(kErrorFileNotFound, kInvalidFileAttributes);
  }
  return fake::WindowsAttributes(host, info);
}

uint32_t OsGetDriveType(const char* root) {
  if (Fails(Op::GetDriveType)) {
    return 0;  // DRIVE_UNKNOWN
  }
  return fake::OnHiddenDrive(root) ? kDriveNoRootDir : 3;  // DRIVE_FIXED
}

int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind) {
  fake::State& state = Get();
  if (Fails(Op::ShowMessage)) {
    return 0;  // the system could not show the box: nothing was seen
  }
  state.boxes.push_back(fake::Box{text, caption, kind, owner});
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
    return Refused<FILE*>(kErrorAccessDenied, nullptr);  // a folder is never a stream
  }
  uint32_t attributes = fake::AttributesOf(host);
  bool writes = strpbrk(mode, "wa+") != nullptr;
  bool creates = strpbrk(mode, "wa") != nullptr;
  if (H().deletePending.count(host)) {
    return Refused<FILE*>(kErrorAccessDenied, nullptr);
  }
  if ((exists && writes && H().inUse.count(host)) || fake::HeldOpen(host)) {
    return Refused<FILE*>(kErrorSharingViolation, nullptr);
  }
  if (H().denied.count(host) ||
      (exists && writes &&
       (!fake::Writable(host) ||
        (creates && (attributes & (kFileAttributeHidden | kFileAttributeSystem)))))) {
    return Refused<FILE*>(kErrorAccessDenied, nullptr);
  }
  FILE* stream = fopen(host.c_str(), mode);
  if (stream == nullptr) {
    return Refused<FILE*>(kErrorFileNotFound, nullptr);
  }
  Get().openStreams++;
  return stream;
}

long OsFileCreateNew(const char* path, FILE** stream) {
  *stream = nullptr;
  Get().streamOpens.push_back(fake::StreamOpen{path, "wbx"});
  if (Fails(Op::FileCreateNew)) {
    return H().lastError;
  }
  if (H().deletePending.count(fake::HostPath(path))) {
    return kErrorAccessDenied;
  }
  // Exclusive creation fails on anything at the name, a dangling link included.
  int descriptor = open(fake::HostPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (descriptor < 0) {
    return errno == EEXIST ? kErrorFileExists : kErrorAccessDenied;
  }
  *stream = fdopen(descriptor, "wb");
  H().created[*stream] = fake::HostPath(path);
  Get().openStreams++;
  return kErrorSuccess;
}

long OsFileOpenEntry(const char* path, uint32_t share, FILE** stream) {
  *stream = nullptr;
  Get().streamOpens.push_back(fake::StreamOpen{path, "rb"});
  if (Fails(Op::FileOpenEntry)) {
    return H().lastError;
  }
  std::string host = fake::HostPath(path);
  if (H().deletePending.count(host)) {
    return kErrorAccessDenied;
  }
  struct stat info;
  if (lstat(host.c_str(), &info) != 0) {
    return kErrorFileNotFound;
  }
  if (S_ISLNK(info.st_mode)) {
    return 1921;  // ERROR_CANT_RESOLVE_FILENAME: the entry leads elsewhere
  }
  if (S_ISDIR(info.st_mode) || H().denied.count(host)) {
    return kErrorAccessDenied;
  }
  if ((H().beingWritten.count(host) && !(share & 0x2 /* FILE_SHARE_WRITE */)) ||
      fake::HeldOpen(host)) {
    return kErrorSharingViolation;
  }
  *stream = fopen(host.c_str(), "rb");
  if (*stream == nullptr) {
    return kErrorAccessDenied;
  }
  H().sharedOpens[*stream] = host;
  Get().openStreams++;
  return kErrorSuccess;
}

int OsFileAttributesAndLength(FILE* stream, uint32_t* attributes, uint64_t* length) {
  auto open = H().sharedOpens.find(stream);
  if (open == H().sharedOpens.end()) {
    abort();
  }
  struct stat info;
  if (Fails(Op::FileAttributesAndLength) || fstat(fileno(stream), &info) != 0) {
    return 0;
  }
  *attributes = fake::WindowsAttributes(open->second, info);
  *length = static_cast<uint64_t>(info.st_size);
  return 1;
}

size_t OsFileRead(void* buffer, size_t size, FILE* stream) {
  if (H().readFailed.count(stream) || Fails(Op::FileRead)) {
    H().readFailed.insert(stream);
    return 0;  // a read error, which ends a pass like the end of the file, for good
  }
  size_t limit = Get().readBlockLimit;
  return fread(buffer, 1, limit != 0 && limit < size ? limit : size, stream);
}

int OsFileReadFailed(FILE* stream) { return H().readFailed.count(stream) || ferror(stream); }

size_t OsFileWrite(const void* bytes, size_t size, FILE* stream) {
  if (Fails(Op::FileWrite)) {
    return fwrite(bytes, 1, size / 2, stream);  // a full disk, say, halfway through
  }
  return fwrite(bytes, 1, size, stream);
}

int OsFileFlushToDisk(FILE* stream) {
  if (Fails(Op::FileFlushToDisk)) {
    return EOF;
  }
  return (fflush(stream) == 0 && fsync(fileno(stream)) == 0) ? 0 : EOF;
}

int OsFileClose(FILE* stream) {
  Get().openStreams--;
  H().sharedOpens.erase(stream);
  H().created.erase(stream);
  H().readFailed.erase(stream);
  int result = fclose(stream);
  return Fails(Op::FileClose) ? EOF : result;
}

int OsMoveFileEx(const char* from, const char* to, uint32_t flags) {
  Get().moves.push_back(fake::Move{from, to, flags});
  if (Fails(Op::MoveFileEx)) {
    return 0;
  }
  std::string hostFrom = fake::HostPath(from);
  std::string hostTo = fake::HostPath(to);
  if (!fake::IsPresent(hostFrom)) {
    return Refused(kErrorFileNotFound, 0);
  }
  if (fake::IsPresent(hostTo) && !(flags & kMoveFileReplaceExisting)) {
    return Refused(kErrorAlreadyExists, 0);
  }
  if (fake::IsFolder(hostTo) || (fake::IsPresent(hostTo) && !fake::Writable(hostTo)) ||
      fake::HeldOpen(hostTo)) {
    return Refused(kErrorAccessDenied, 0);
  }
  if (rename(hostFrom.c_str(), hostTo.c_str()) != 0) {
    return Refused(fake::kErrorGenFailure, 0);
  }
  for (auto& open : H().created) {  // an open file keeps its stream where it goes
    if (open.second == hostFrom) {
      open.second = hostTo;
    }
  }
  H().attributes.erase(hostTo);  // the file in place now is the moved one
  return 1;
}

int OsDeleteFile(const char* path) {
  if (Fails(Op::DeleteFile)) {
    return 0;
  }
  std::string host = fake::HostPath(path);
  if (unlink(host.c_str()) != 0) {
    return 0;
  }
  if (H().heldForDeletion.erase(host)) {
    H().deletePending.insert(host);  // the name stays taken until the other program lets go
  }
  return 1;
}

int OsSystemTimeToFileTime(const SystemTime* calendar, FileTime* time) {
  if (Fails(Op::SystemTimeToFileTime) || !IsValidSystemTime(*calendar)) {
    return 0;
  }
  int64_t days = fake::DaysSince1601(calendar->year, calendar->month, calendar->day);
  int64_t milliseconds = ((days * 24 + calendar->hour) * 60 + calendar->minute) * 60000 +
                         calendar->second * 1000 + calendar->milliseconds;
  *time = static_cast<FileTime>(milliseconds) * 10000;
  return 1;
}

int OsLocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  if (Fails(Op::LocalFileTimeToFileTime)) {
    return 0;
  }
  int64_t offset = static_cast<int64_t>(Get().localOffsetMinutes) * 60 * fake::kTicksPerSecond;
  *utc = static_cast<FileTime>(static_cast<int64_t>(*local) - offset);
  return 1;
}

OsHandle OsCreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags) {
  Get().timesOpens.push_back(fake::TimesOpen{path, access, share, disposition, flags});
  std::string host = fake::HostPath(path);
  if (Fails(Op::CreateFile)) {
    return kInvalidHandleValue;
  }
  if (!fake::IsPresent(host)) {
    return Refused(kErrorFileNotFound, kInvalidHandleValue);
  }
  if (H().inUse.count(host) || fake::HeldOpen(host)) {
    return Refused(kErrorSharingViolation, kInvalidHandleValue);
  }
  if (fake::IsFolder(host) || !fake::Writable(host)) {
    return Refused(kErrorAccessDenied, kInvalidHandleValue);
  }
  OsHandle handle = H().nextHandle++;
  H().handles[handle] = path;
  Get().openHandles++;
  return handle;
}

int OsSetFileTime(OsHandle file, const FileTime* creation, const FileTime* lastAccess,
                  const FileTime* lastWrite) {
  auto open = H().handles.find(file);
  if (open == H().handles.end()) {
    abort();
  }
  if (Fails(Op::SetFileTime)) {
    return 0;
  }
  Get().stamps[open->second] = fake::Stamp{*creation, *lastAccess, *lastWrite};
  // The host file gets the access and write times too; Linux keeps no creation time.
  auto toTimeval = [](FileTime time) {
    int64_t ticks = static_cast<int64_t>(time) - static_cast<int64_t>(fake::kUnixEpoch);
    timeval value;
    value.tv_sec = ticks / static_cast<int64_t>(fake::kTicksPerSecond);
    value.tv_usec = (ticks % static_cast<int64_t>(fake::kTicksPerSecond)) / 10;
    return value;
  };
  timeval times[2] = {toTimeval(*lastAccess), toTimeval(*lastWrite)};
  utimes(fake::HostPath(open->second).c_str(), times);
  return 1;
}

int OsCloseHandle(OsHandle handle) {
  if (H().handles.erase(handle) == 0) {
    abort();
  }
  Get().openHandles--;
  Fails(Op::CloseHandle);
  return 1;
}
