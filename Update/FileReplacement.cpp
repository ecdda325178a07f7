#include "FileReplacement.h"

#include <cstring>

const SystemTime ReleaseStamp = {2008, 1, 0, 25, 0, 0, 0, 0};

namespace {

// The new bytes wait beside the file they replace (same folder, same volume), in
// a file this run creates for itself. A name already taken, by a file another
// updater is writing, a link planted there or anything else that is not provably
// a leftover of this updater's, is left alone and the next one tried:
// "<file>.zemlo-new", then "<file>.zemlo-new-2" and so on.
const char kTemporarySuffix[] = ".zemlo-new";
constexpr int kTemporaryNames = 100;
constexpr int kNumberCapacity = 8;  // "-100" and its NUL
constexpr int kTemporaryPathCapacity =
    kPathCapacity + static_cast<int>(sizeof kTemporarySuffix) + kNumberCapacity;

// Virus scanners, indexers, backup and sync agents open a file that was just read
// or written for a moment. What they cause is waited out: a refused try is
// repeated after a pause that grows from kFirstPauseMs, doubling up to
// kLongestPauseMs, for as long as the file has patience left (kPatienceMs in all,
// over every retried operation on it). A running editor outlasts that, and its
// file's write fails as it always did.
constexpr int kFirstPauseMs = 20;
constexpr int kLongestPauseMs = 400;

// The refusals another program's brief hold can cause. Read-only, hidden and
// system files and folders are refused before any try, so an access denied here
// is one that the attributes do not explain. A full disk, a taken name or a
// missing file cannot pass by waiting.
bool CanBeMomentary(long error) {
  return error == kErrorAccessDenied || error == kErrorSharingViolation ||
         error == kErrorLockViolation;
}

// Makes a try (true when it succeeded) until it succeeds, or is refused in a way
// no wait cures, or the file's patience is spent: false then, the refusal standing.
template <typename Try>
bool TryPatiently(int* patienceMs, Try attempt) {
  int pauseMs = kFirstPauseMs;
  while (!attempt()) {
    if (!CanBeMomentary(OsLastError()) || *patienceMs <= 0) {
      return false;
    }
    const int pause = pauseMs < *patienceMs ? pauseMs : *patienceMs;
    OsPause(pause);
    *patienceMs -= pause;
    pauseMs = pauseMs * 2 < kLongestPauseMs ? pauseMs * 2 : kLongestPauseMs;
  }
  return true;
}

// Waits, as long as the file's patience lasts, until nothing refuses what a plain
// open for writing would refuse, asked without changing the file. True also when
// nothing is at path yet: it will be created.
bool WaitUntilReplaceable(const char* path, int* patienceMs) {
  const uint32_t attributes = OsGetFileAttributes(path);
  if (attributes == kInvalidFileAttributes) {
    return true;
  }
  if (attributes & (kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem |
                    kFileAttributeDirectory)) {
    return false;
  }
  return TryPatiently(patienceMs, [path] {
    FILE* probe = OsFileOpen(path, "r+b");  // refused when access is denied or the file in use
    if (probe != nullptr) {
      OsFileClose(probe);
    }
    return probe != nullptr;
  });
}

// Puts the finished temporary file in the place of the file it replaces.
bool MoveIntoPlace(const char* temporary, const char* path, int* patienceMs) {
  return TryPatiently(patienceMs, [temporary, path] {
    return OsMoveFileEx(temporary, path, kMoveFileReplaceExisting | kMoveFileWriteThrough) != 0;
  });
}

// The image goes to its file a block at a time: the same bytes in one call of tens
// of megabytes were measured up to twice as slow, the system finding memory for
// the whole call at once.
bool WriteInBlocks(FILE* stream, const unsigned char* image, int32_t size) {
  const size_t total = static_cast<size_t>(size);
  for (size_t written = 0; written < total;) {
    const size_t left = total - written;
    const size_t block = left < kFileBlockSize ? left : kFileBlockSize;
    if (OsFileWrite(image + written, block, stream) != block) {
      return false;
    }
    written += block;
  }
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
  const size_t length = strlen(path);
  const size_t suffixLength = sizeof kTemporarySuffix - 1;
  const size_t numberLength = strlen(number);
  if (length + suffixLength + numberLength >= static_cast<size_t>(kTemporaryPathCapacity)) {
    return false;
  }
  memcpy(temporary, path, length + 1);
  memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
  memcpy(temporary + length + suffixLength, number, numberLength + 1);
  return true;
}

// Whether an open file is what an interrupted run of this updater leaves at a
// temporary name: a plain file (no folder, no link, no read-only, hidden or system
// attribute) holding the first bytes of the image it was writing, none, some or
// all of them. Such a file holds nothing the update does not hold.
bool IsLeftoverOf(FILE* stream, const unsigned char* image, int32_t size) {
  uint32_t attributes = 0;
  uint64_t length = 0;
  if (!OsFileAttributesAndLength(stream, &attributes, &length) ||
      (attributes & (kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem |
                     kFileAttributeDirectory | kFileAttributeReparsePoint)) != 0 ||
      length > static_cast<uint64_t>(size)) {
    return false;
  }
  unsigned char block[kFileBlockSize];
  for (uint64_t compared = 0; compared < length;) {
    const uint64_t left = length - compared;
    const size_t wanted = left < kFileBlockSize ? static_cast<size_t>(left) : kFileBlockSize;
    const size_t got = OsFileRead(block, wanted, stream);
    if (got == 0 || memcmp(block, image + static_cast<size_t>(compared), got) != 0) {
      return false;  // other bytes, or a read error that leaves them unknown
    }
    compared += got;
  }
  return true;
}

// An interrupted run (power lost, process killed) leaves its temporary file
// behind. Each one that is provably such a leftover is removed, from the first
// name up to the first free one, so that they neither pile up in the editor's
// folder nor use up the names. Anything else there, and whatever the system
// refuses to open or remove, stays as it is; nothing here changes the outcome.
void RemoveLeftovers(const char* path, const unsigned char* image, int32_t size) {
  char temporary[kTemporaryPathCapacity];
  for (int attempt = 1; attempt <= kTemporaryNames && TemporaryPathFor(path, attempt, temporary);
       ++attempt) {
    FILE* stream = nullptr;
    // Sharing reading only: a file another program still writes is refused.
    const long error = OsFileOpenEntry(temporary, kFileShareRead, &stream);
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) {
      return;
    }
    if (error != kErrorSuccess) {
      continue;
    }
    const bool leftover = IsLeftoverOf(stream, image, size);
    OsFileClose(stream);
    if (leftover) {
      OsDeleteFile(temporary);
    }
  }
}

// Windows before 10 1809, FAT32, exFAT and many shares keep a removed file's name
// until the last program that has it open lets go ("delete pending"): a scanner
// still holding a leftover this run has just removed, say. A new file at that name
// is refused with access denied, as in a folder that refuses new files. Only the
// name's attributes tell the two apart: refused too while a removed file holds
// the name, not found where the name is free.
bool IsNameStillHeld(const char* path) {
  return OsGetFileAttributes(path) != kInvalidFileAttributes || OsLastError() == kErrorAccessDenied;
}

// A new temporary file beside path, under the first free name, or null when none
// can be had; its name is left in temporary. Leftovers of interrupted runs are
// looked for only when the first name is taken: a clean folder costs nothing more.
FILE* CreateTemporaryBeside(const char* path, const unsigned char* image, int32_t size,
                            char* temporary) {
  bool leftoversRemoved = false;
  bool freedNameRetried = false;
  int attempt = 1;
  while (attempt <= kTemporaryNames) {
    if (!TemporaryPathFor(path, attempt, temporary)) {
      return nullptr;
    }
    FILE* stream = nullptr;
    const long error = OsFileCreateNew(temporary, &stream);
    if (error == kErrorSuccess) {
      return stream;
    }
    if (error == kErrorAccessDenied && !IsNameStillHeld(temporary)) {
      // Nothing holds the name now. Either the folder refuses new files, or what
      // held the name let go between the refusal and the look: the same name once
      // more tells which.
      if (freedNameRetried) {
        return nullptr;  // the folder refuses new files: no other name would do
      }
      freedNameRetried = true;
      continue;
    }
    if (error != kErrorAccessDenied && error != kErrorFileExists && error != kErrorAlreadyExists) {
      return nullptr;  // a full disk, a missing folder: no other name would do
    }
    if (!leftoversRemoved) {
      RemoveLeftovers(path, image, size);
      leftoversRemoved = true;
      continue;  // the first name again: it may be free now
    }
    ++attempt;
    freedNameRetried = false;
  }
  return nullptr;
}

}  // namespace

bool WriteImage(const char* path, const unsigned char* image, int32_t size, int* patienceMs) {
  char temporary[kTemporaryPathCapacity];
  if (!WaitUntilReplaceable(path, patienceMs)) {
    return false;
  }
  FILE* stream = CreateTemporaryBeside(path, image, size, temporary);
  if (stream == nullptr) {
    return false;
  }
  const bool placed = WriteInBlocks(stream, image, size) && OsFileFlushToDisk(stream) == 0 &&
                      MoveIntoPlace(temporary, path, patienceMs);
  // The file stays open until it is in place: closed, it would look to another
  // updater's clean-up exactly like a leftover, and be removed under this run's
  // move. Still open, it is removed only by this run, and the name stays this
  // run's until the stream closes.
  if (!placed) {
    OsDeleteFile(temporary);
  }
  // Its bytes were on disk before the move: a close that fails after it changes
  // nothing in place.
  OsFileClose(stream);
  return placed;
}

bool StampFileTime(const char* path, const SystemTime& local, int* patienceMs) {
  FileTime localTime = 0;
  FileTime utc = 0;
  if (!OsSystemTimeToFileTime(&local, &localTime) || !OsLocalFileTimeToFileTime(&localTime, &utc)) {
    return false;
  }
  if (OsGetFileAttributes(path) == kInvalidFileAttributes) {
    return false;
  }
  // A scanner looks at a new executable right after it is in place.
  OsHandle file = kInvalidHandleValue;
  if (!TryPatiently(patienceMs, [path, &file] {
        file =
            OsCreateFile(path, kGenericWrite, kFileShareRead, kOpenExisting, kFileAttributeNormal);
        return file != kInvalidHandleValue;
      })) {
    return false;
  }
  const bool set = OsSetFileTime(file, &utc, &utc, &utc) != 0;
  OsCloseHandle(file);
  return set;
}

void ApplyUpdate(const char* exePath, const char* scriptsPath) {
  int exePatienceMs = kPatienceMs;
  int scriptsPatienceMs = kPatienceMs;
  // The script archive goes first: the version is read from the executable alone,
  // so an installation left with only new scripts still asks to be updated.
  if (!WriteImage(scriptsPath, ScriptsRelease.bytes, ScriptsRelease.size, &scriptsPatienceMs)) {
    Tell(MsgScriptsWriteFailed);
    return;
  }
  if (!WriteImage(exePath, ExeRelease.bytes, ExeRelease.size, &exePatienceMs)) {
    Tell(MsgExeWriteFailed);
    return;
  }
  // A file left unstamped is still a complete update: stamping is not reported.
  StampFileTime(exePath, ReleaseStamp, &exePatienceMs);
  StampFileTime(scriptsPath, ReleaseStamp, &scriptsPatienceMs);
  Tell(MsgUpdateDone);
}
