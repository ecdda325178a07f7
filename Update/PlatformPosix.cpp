// The platform seam on Linux, for the build machine's tools and the benchmarks:
// the same logic, on the C library and POSIX calls. Linux has no registry, no
// shell folders and no message boxes: those lookups find nothing, and a box is
// written to standard error and answered No.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "Platform.h"

namespace {

constexpr long kErrorGenFailure = 31;
constexpr long kEFail = static_cast<long>(0x80004005);
constexpr int kIdNo = 7;
constexpr size_t kStreamBufferSize = size_t{64} * 1024;
constexpr FileTime kTicksPerSecond = 10000000;
constexpr FileTime kUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME

timespec ToTimespec(FileTime time) {
  auto ticks = static_cast<int64_t>(time - kUnixEpoch);
  timespec converted{};
  converted.tv_sec = static_cast<time_t>(ticks / static_cast<int64_t>(kTicksPerSecond));
  converted.tv_nsec = static_cast<long>(ticks % static_cast<int64_t>(kTicksPerSecond)) * 100;
  return converted;
}

// What Windows would say of a file with these permissions.
uint32_t AttributesOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) {
    return kFileAttributeDirectory;
  }
  return (info.st_mode & S_IWUSR) ? kFileAttributeNormal : kFileAttributeReadonly;
}

}  // namespace

// The Windows error that the last failed call's errno stands for, as far as the
// logic tells errors apart: a refusal that may pass, or any other failure.
long OsLastError() {
  switch (errno) {
    case 0:
      return 0;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    default:
      return kErrorGenFailure;
  }
}

void OsPause(int milliseconds) {
  timespec pause{};
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  nanosleep(&pause, nullptr);
}

long OsRegOpenClassesKey(const char* /*subkey*/, uint32_t /*options*/, uint32_t /*access*/,
                         OsRegKey* /*key*/) {
  return kErrorFileNotFound;
}

long OsRegQueryValueEx(OsRegKey /*key*/, const char* /*valueName*/, uint32_t* /*type*/,
                       unsigned char* /*data*/, uint32_t* /*byteCount*/) {
  return kErrorFileNotFound;
}

long OsRegCloseKey(OsRegKey /*key*/) { return kErrorSuccess; }

long OsShGetSpecialFolderLocation(void* /*owner*/, int /*csidl*/, OsItemList* /*list*/) {
  return kEFail;
}

int OsShGetPathFromIdList(OsItemList /*list*/, char* /*path*/) { return 0; }

void OsIlFree(OsItemList /*list*/) {}

uint32_t OsGetFileAttributes(const char* path) {
  struct stat info = {};
  return stat(path, &info) == 0 ? AttributesOf(info) : kInvalidFileAttributes;
}

int OsMoveFileEx(const char* from, const char* to, uint32_t flags) {
  if (!(flags & kMoveFileReplaceExisting) && access(to, F_OK) == 0) {
    return 0;
  }
  return rename(from, to) == 0 ? 1 : 0;
}

int OsDeleteFile(const char* path) { return unlink(path) == 0 ? 1 : 0; }

int OsSystemTimeToFileTime(const SystemTime* calendar, FileTime* time) {
  if (!IsValidSystemTime(*calendar)) {
    return 0;
  }
  tm fields{};
  fields.tm_year = calendar->year - 1900;
  fields.tm_mon = calendar->month - 1;
  fields.tm_mday = calendar->day;
  fields.tm_hour = calendar->hour;
  fields.tm_min = calendar->minute;
  fields.tm_sec = calendar->second;
  const time_t seconds = timegm(&fields);
  *time = kUnixEpoch + static_cast<FileTime>(seconds) * kTicksPerSecond +
          static_cast<FileTime>(calendar->milliseconds) * 10000;
  return 1;
}

int OsLocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  const time_t now = ::time(nullptr);
  tm fields{};
  if (localtime_r(&now, &fields) == nullptr) {
    return 0;
  }
  *utc = *local - static_cast<FileTime>(fields.tm_gmtoff) * kTicksPerSecond;
  return 1;
}

OsHandle OsCreateFile(const char* path, uint32_t access, uint32_t /*share*/,
                      uint32_t /*disposition*/, uint32_t /*flags*/) {
  const int fd = open(path, (access & kGenericWrite) ? O_WRONLY : O_RDONLY);
  return fd < 0 ? kInvalidHandleValue : static_cast<OsHandle>(fd);
}

int OsSetFileTime(OsHandle file, const FileTime* /*creation*/, const FileTime* lastAccess,
                  const FileTime* lastWrite) {
  // Linux keeps no creation time.
  timespec times[2] = {ToTimespec(*lastAccess), ToTimespec(*lastWrite)};
  return futimens(static_cast<int>(file), times) == 0 ? 1 : 0;
}

int OsCloseHandle(OsHandle handle) { return close(static_cast<int>(handle)) == 0 ? 1 : 0; }

int ShowMessage(void* /*owner*/, const char* text, const char* caption, MessageKind /*kind*/) {
  fprintf(stderr, "[%s] %s\n", caption, text);
  return kIdNo;
}

FILE* OsFileOpen(const char* path, const char* mode) {
  FILE* stream = fopen(path, mode);
  if (stream != nullptr) {
    setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
  }
  return stream;
}

long OsFileCreateNew(const char* path, FILE** stream) {
  *stream = nullptr;
  const int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    return errno == EEXIST ? kErrorFileExists : kErrorAccessDenied;
  }
  FILE* opened = fdopen(descriptor, "wb");
  if (opened == nullptr) {
    close(descriptor);
    unlink(path);  // created just now, by this call
    return kErrorAccessDenied;
  }
  setvbuf(opened, nullptr, _IOFBF, kStreamBufferSize);
  *stream = opened;
  return kErrorSuccess;
}

long OsFileOpenEntry(const char* path, uint32_t /*share*/, FILE** stream) {
  *stream = nullptr;
  const int descriptor = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) {
    return errno == ENOENT || errno == ENOTDIR ? kErrorFileNotFound : kErrorAccessDenied;
  }
  *stream = fdopen(descriptor, "rb");
  if (*stream == nullptr) {
    close(descriptor);
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

int OsFileAttributesAndLength(FILE* stream, uint32_t* attributes, uint64_t* length) {
  struct stat info = {};
  if (fstat(fileno(stream), &info) != 0) {
    return 0;
  }
  *attributes = AttributesOf(info);
  *length = static_cast<uint64_t>(info.st_size);
  return 1;
}

size_t OsFileRead(void* buffer, size_t size, FILE* stream) {
  return ferror(stream) ? 0 : fread(buffer, 1, size, stream);
}

int OsFileReadFailed(FILE* stream) { return ferror(stream); }

size_t OsFileWrite(const void* bytes, size_t size, FILE* stream) {
  return fwrite(bytes, 1, size, stream);
}

int OsFileFlushToDisk(FILE* stream) {
  return (fflush(stream) == 0 && fsync(fileno(stream)) == 0) ? 0 : EOF;
}

int OsFileClose(FILE* stream) { return fclose(stream); }
