// Every operating-system operation the updater calls, with plain types.
//
// The logic includes this header and nothing platform-specific. PlatformWin.cpp
// maps each operation onto its Win32 or C runtime call; the native tests link a
// scriptable stand-in instead. Results follow the Win32 conventions so that the
// logic reads the same on every platform. Paths and registry strings are UTF-8
// throughout. On Windows the seam converts them to and from UTF-16 at its edge
// and calls the wide functions, gives a long path its \\?\ form, and checks that
// a file it opens as an entry is that entry and no link's target, so that any
// folder name and any path the buffers hold reach the system intact. The process
// set-up and the message boxes do a little more; their comments say what.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- The process itself (kernel32, advapi32) -------------------------------------

// The program's first call, before anything may load a library or touch a file.
// A drive without its medium (a card reader, a stick, a CD drive that an old
// association still names) then fails the call that touches it, for the whole
// run, instead of making the system ask the user in a box of its own. Libraries
// are then looked for in the system folder only, and those that the
// boxes and the shell would load by name later are loaded from there now, so
// that none is ever taken from the program's folder or the current folder. File
// virtualization is switched off, so that a write the system refuses is refused
// for real instead of landing in a per-user copy. (Awareness of the screen's
// scaling is declared in the manifest, before the first instruction.) Shows
// nothing; whatever the running system lacks is skipped.
void OsHardenProcess();

// The system's error code of the seam's most recent failed call (GetLastError),
// for the operations whose comments say they leave one: what the logic reads to
// tell a momentary refusal from a lasting one. 0 when the system gave none.
long OsLastError();

// Sleep: the run waits, doing nothing, for about this many milliseconds.
void OsPause(int milliseconds);

// ---- Registry (advapi32) ----------------------------------------------------

typedef struct OsRegKeyOpaque* OsRegKey;

constexpr long kErrorSuccess = 0;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;

constexpr long kErrorMoreData = 234;

// The most bytes a registry value query offers: the updater's registry buffer and
// its path buffers are this size.
constexpr uint32_t kRegValueCapacity = 1000;

// RegOpenKeyExW under HKEY_CLASSES_ROOT: 0 on success, with the key in *key.
long OsRegOpenClassesKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key);
// RegOpenKeyExW under HKEY_CURRENT_USER, the same way.
long OsRegOpenUserKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key);
// RegQueryValueExW, a string handed on in UTF-8: 0 on success, with the type,
// the bytes and their count, a terminator among them only where the value has
// one. *byteCount offers the buffer size on the way in, kRegValueCapacity at most;
// kErrorMoreData when the UTF-8 form does not fit, and a string that is not
// valid UTF-16 (a lone surrogate) is refused, never turned into another one.
long OsRegQueryValueEx(OsRegKey key, const char* valueName, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount);
long OsRegCloseKey(OsRegKey key);

// ---- Shell folders (shell32) --------------------------------------------------

typedef struct OsItemListOpaque* OsItemList;

constexpr long kSOk = 0;
constexpr int kCsidlProgramFiles = 38;
// SHGetPathFromIDListW gives up to MAX_PATH UTF-16 units (259 and the
// terminator); their UTF-8 form takes at most three bytes each.
constexpr int kShellPathCapacity = 3 * 259 + 1;

// SHGetSpecialFolderLocation: 0 (S_OK) on success, with an item list to free.
long OsShGetSpecialFolderLocation(void* owner, int csidl, OsItemList* list);
// SHGetPathFromIDListW: nonzero on success, with the folder's path in path, in
// UTF-8, which needs room for kShellPathCapacity bytes.
int OsShGetPathFromIdList(OsItemList list, char* path);
// ILFree.
void OsIlFree(OsItemList list);

// ---- File attributes (kernel32) -----------------------------------------------

constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kFileAttributeReadonly = 0x01;
constexpr uint32_t kFileAttributeHidden = 0x02;
constexpr uint32_t kFileAttributeSystem = 0x04;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeReparsePoint = 0x400;  // a link or a junction

// GetFileAttributesW: kInvalidFileAttributes, with OsLastError, when nothing
// exists at path (kErrorFileNotFound, kErrorPathNotFound) or it cannot be
// looked at: kErrorAccessDenied where a deleted file still holds the name.
//
// Every operation on a path takes its wide form; a path of 248 UTF-16 units or
// more is made absolute and given the \\?\ form, which passes the 260 of the
// plain form.
uint32_t OsGetFileAttributes(const char* path);

constexpr uint32_t kDriveNoRootDir = 1;

// GetDriveTypeW of a root folder ("M:\\"): kDriveNoRootDir when this process has
// no such drive, as an elevated one lacks the letters its user mapped.
uint32_t OsGetDriveType(const char* root);

// ---- Replacing files (kernel32) ---------------------------------------------------

constexpr uint32_t kMoveFileReplaceExisting = 0x1;
constexpr uint32_t kMoveFileWriteThrough = 0x8;

// MoveFileExW: nonzero on success, else 0 with OsLastError.
int OsMoveFileEx(const char* from, const char* to, uint32_t flags);
// DeleteFileW: nonzero on success.
int OsDeleteFile(const char* path);

// ---- Calendar and file times (kernel32) -------------------------------------------

// The eight 16-bit fields of a Windows SYSTEMTIME, in its order.
struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

typedef uint64_t FileTime;  // 100-ns intervals since 1601-01-01, as a FILETIME

typedef uintptr_t OsHandle;
constexpr OsHandle kInvalidHandleValue = ~static_cast<OsHandle>(0);

constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kFileShareRead = 0x1;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFileAttributeNormal = 0x80;

// The calendar times SystemTimeToFileTime accepts: real dates from 1601 to 30827.
// Windows checks them itself; the other implementations of the seam use this.
inline bool IsValidSystemTime(const SystemTime& t) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 ||
      t.minute > 59 || t.second > 59 || t.milliseconds > 999) {
    return false;
  }
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  return t.day <= kDays[t.month - 1] + (t.month == 2 && leap ? 1 : 0);
}

// SystemTimeToFileTime, LocalFileTimeToFileTime: nonzero on success.
int OsSystemTimeToFileTime(const SystemTime* calendar, FileTime* time);
int OsLocalFileTimeToFileTime(const FileTime* local, FileTime* utc);
// CreateFileW with no security attributes and no template: kInvalidHandleValue on
// failure, with OsLastError.
OsHandle OsCreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags);
// SetFileTime: nonzero when the times were set.
int OsSetFileTime(OsHandle file, const FileTime* creation, const FileTime* lastAccess,
                  const FileTime* lastWrite);
int OsCloseHandle(OsHandle handle);

// ---- Message boxes (user32) -----------------------------------------------------

typedef uint32_t MessageKind;  // the MB_ flags of a box

constexpr MessageKind kMbOk = 0x00;
constexpr MessageKind kMbYesNo = 0x04;
constexpr MessageKind kMbIconError = 0x10;
constexpr MessageKind kMbIconQuestion = 0x20;
constexpr MessageKind kMbIconExclamation = 0x30;
constexpr int kIdYes = 6;

// A modal box with a code page 932 text and caption; the button chosen (kIdYes
// for Yes). MessageBoxA with the bytes as they are where the system's ANSI code
// page is 932; elsewhere MessageBoxW with them converted from 932, so that the
// Japanese reads right on any system that can convert them.
int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind);

// ---- File streams (C runtime) -------------------------------------------------

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorPathNotFound = 3;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorSharingViolation = 32;
constexpr long kErrorLockViolation = 33;
constexpr long kErrorFileExists = 80;
constexpr long kErrorAlreadyExists = 183;

// _wfopen in binary mode: null when the open fails, with OsLastError.
FILE* OsFileOpen(const char* path, const char* mode);
// A new file, created for writing only if nothing at all has that name yet (not
// even a link), with a binary output stream on it: 0 with the stream in *stream,
// else the system's error, kErrorFileExists or kErrorAlreadyExists when the name
// is taken. While it is open it shares only deletion: nobody else opens it, and
// OsMoveFileEx and OsDeleteFile still take it by its name (the stream follows the
// file it moved).
long OsFileCreateNew(const char* path, FILE** stream);
// An existing file opened for reading, sharing with others only what `share`
// allows (kFileShareRead: refused while another program writes it), as the entry
// at path itself: a link is never followed to what it points to. 0 with a binary
// input stream in *stream, else the system's error, kErrorFileNotFound or
// kErrorPathNotFound when nothing is at path.
long OsFileOpenEntry(const char* path, uint32_t share, FILE** stream);
// The attributes and the length in bytes of the file an open stream reads: nonzero
// on success.
int OsFileAttributesAndLength(FILE* stream, uint32_t* attributes, uint64_t* length);
// fread of up to size bytes: the number read. A block may come back short before
// the end; 0 only at the end of the file, and on every call after a read error,
// so that an error ends a pass exactly where the end of the file would.
size_t OsFileRead(void* buffer, size_t size, FILE* stream);
// ferror: nonzero once a read on the stream has failed, which tells a pass that
// ended at a read error from one that reached the end of the file.
int OsFileReadFailed(FILE* stream);
// fwrite of size bytes: the number written, fewer only on a write error.
size_t OsFileWrite(const void* bytes, size_t size, FILE* stream);
// fflush, then the C runtime's commit of the file to disk: 0 when both succeed.
int OsFileFlushToDisk(FILE* stream);
// fclose: 0 on success.
int OsFileClose(FILE* stream);
