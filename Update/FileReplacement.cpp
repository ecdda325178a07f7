#include "FileReplacement.h"

#include <cstring>

const SystemTime ReleaseStamp = {2008, 1, 0, 25, 0, 0, 0, 0};

namespace {

// The new bytes wait beside the file they replace (same folder, same volume), in
// a file this run creates for itself. A name already taken, by a leftover of an
// interrupted run, a file another updater is writing or a link planted there, is
// left alone and the next one tried: "<file>.zemlo-new", then "<file>.zemlo-new-2"
// and so on.
const char kTemporarySuffix[] = ".zemlo-new";
constexpr int kTemporaryNames = 100;
constexpr int kNumberCapacity = 8;  // "-100" and its NUL
constexpr int kTemporaryPathCapacity =
    kPathCapacity + static_cast<int>(sizeof kTemporarySuffix) + kNumberCapacity;

// What a plain open for writing would refuse, asked without changing the file.
bool CanReplace(const char* path) {
  uint32_t attributes = OsGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) {
    return true;  // nothing there yet: it will be created
  }
  if (attributes & (kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem |
                    kFileAttributeDirectory)) {
    return false;
  }
  FILE* probe = OsFileOpen(path, "r+b");  // fails when access is denied or the file is in use
  if (probe == nullptr) {
    return false;
  }
  OsFileClose(probe);
  return true;
}

bool TemporaryPathFor(const char* path, int attempt, char* temporary) {
  char number[kNumberCapacity] = {};  // "-<attempt>" from the second attempt on
  if (attempt > 1) {
    char* digit = number + sizeof number - 1;
    for (int left = attempt; left > 0; left /= 10) {
      *--digit = static_cast<char>('0' + left % 10);
    }
    *--digit = '-';
    memmove(number, digit, static_cast<size_t>(number + sizeof number - digit));
  }
  size_t length = strlen(path);
  size_t suffixLength = sizeof kTemporarySuffix - 1;
  size_t numberLength = strlen(number);
  if (length + suffixLength + numberLength >= static_cast<size_t>(kTemporaryPathCapacity)) {
    return false;
  }
  memcpy(temporary, path, length + 1);
  memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  memcpy(temporary + length + suffixLength, number, numberLength + 1);
  return true;
}

// A new temporary file beside path, under the first free name, or null when none
// can be had; its name is left in temporary.
FILE* CreateTemporaryBeside(const char* path, char* temporary) {
  for (int attempt = 1; attempt <= kTemporaryNames; ++attempt) {
    if (!TemporaryPathFor(path, attempt, temporary)) {
      return nullptr;
    }
    FILE* stream = nullptr;
    long error = OsFileCreateNew(temporary, &stream);
    if (error == kErrorSuccess) {
      return stream;
    }
    if (error != kErrorFileExists && error != kErrorAlreadyExists) {
      return nullptr;  // the folder refuses new files: no other name would do
    }
  }
  return nullptr;
}

}  // namespace

bool WriteImage(const char* path, const unsigned char* image, int32_t size) {
  char temporary[kTemporaryPathCapacity];
  if (!CanReplace(path)) {
    return false;
  }
  FILE* stream = CreateTemporaryBeside(path, temporary);
  if (stream == nullptr) {
    return false;
  }
  // One call for the whole image: the stream writes it straight through in its
  // own large blocks.
  bool complete =
      OsFileWrite(image, static_cast<size_t>(size), stream) == static_cast<size_t>(size) &&
      OsFileFlushToDisk(stream) == 0;
  complete = OsFileClose(stream) == 0 && complete;
  complete = complete &&
             OsMoveFileEx(temporary, path, kMoveFileReplaceExisting | kMoveFileWriteThrough) != 0;
  if (!complete) {
    OsDeleteFile(temporary);  // this run's own file: created above
  }
  return complete;
}

bool StampFileTime(const char* path, const SystemTime& local) {
  FileTime localTime = 0;
  FileTime utc = 0;
  if (!OsSystemTimeToFileTime(&local, &localTime) || !OsLocalFileTimeToFileTime(&localTime, &utc)) {
    return false;
  }
  if (OsGetFileAttributes(path) == kInvalidFileAttributes) {
    return false;
  }
  OsHandle file =
      OsCreateFile(path, kGenericWrite, kFileShareRead, kOpenExisting, kFileAttributeNormal);
  if (file == kInvalidHandleValue) {
    return false;
  }
  bool set = OsSetFileTime(file, &utc, &utc, &utc) != 0;
  OsCloseHandle(file);
  return set;
}

void ApplyUpdate(const char* exePath, const char* scriptsPath) {
  // The script archive goes first: the version is read from the executable alone,
  // so an installation left with only new scripts still asks to be updated.
  if (!WriteImage(scriptsPath, ScriptsImage, ScriptsImageSize)) {
    Tell(MsgScriptsWriteFailed);
    return;
  }
  if (!WriteImage(exePath, ExeImage, ExeImageSize)) {
    Tell(MsgExeWriteFailed);
    return;
  }
  // A file left unstamped is still a complete update: stamping is not reported.
  StampFileTime(exePath, ReleaseStamp);
  StampFileTime(scriptsPath, ReleaseStamp);
  Tell(MsgUpdateDone);
}
