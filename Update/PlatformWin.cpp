// The platform seam on Windows: each operation is its Win32 or C runtime call.
// This is the only source of the program that includes <windows.h>.
#include <windows.h>

#include <io.h>
#include <shlobj.h>

#include "Platform.h"

namespace {

// Room for any path the updater builds, in UTF-16.
constexpr int kWidePathCapacity = 1100;

// Whole files pass through the streams: fewer, larger reads and writes.
constexpr size_t kStreamBufferSize = size_t{64} * 1024;

bool Widen(const char* path, wchar_t* wide) {
  return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kWidePathCapacity) != 0;
}

FILETIME ToFiletime(FileTime time) {
  FILETIME converted;
  converted.dwLowDateTime = static_cast<DWORD>(time);
  converted.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return converted;
}

FileTime FromFiletime(const FILETIME& time) {
  return (static_cast<FileTime>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

long OsRegOpenClassesKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey, options, access, &opened);
  *key = reinterpret_cast<OsRegKey>(opened);
  return result;
}

long OsRegQueryValueEx(OsRegKey key, const char* valueName, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  DWORD valueType = 0;
  DWORD count = *byteCount;
  LONG result =
      RegQueryValueExA(reinterpret_cast<HKEY>(key), valueName, nullptr, &valueType, data, &count);
  *type = valueType;
  *byteCount = count;
  return result;
}

long OsRegCloseKey(OsRegKey key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

long OsShGetSpecialFolderLocation(void* owner, int csidl, OsItemList* list) {
  LPITEMIDLIST items = nullptr;
  HRESULT result = SHGetSpecialFolderLocation(static_cast<HWND>(owner), csidl, &items);
  *list = reinterpret_cast<OsItemList>(items);
  return result;
}

int OsShGetPathFromIdList(OsItemList list, char* path) {
  return SHGetPathFromIDListA(reinterpret_cast<LPCITEMIDLIST>(list), path);
}

void OsIlFree(OsItemList list) { ILFree(reinterpret_cast<LPITEMIDLIST>(list)); }

uint32_t OsGetFileAttributes(const char* path) { return GetFileAttributesA(path); }

int OsMoveFileEx(const char* from, const char* to, uint32_t flags) {
  wchar_t wideFrom[kWidePathCapacity];
  wchar_t wideTo[kWidePathCapacity];
  if (!Widen(from, wideFrom) || !Widen(to, wideTo)) {
    return 0;
  }
  return MoveFileExW(wideFrom, wideTo, flags);
}

int OsDeleteFile(const char* path) {
  wchar_t widePath[kWidePathCapacity];
  return Widen(path, widePath) ? DeleteFileW(widePath) : 0;
}

int OsSystemTimeToFileTime(const SystemTime* calendar, FileTime* time) {
  SYSTEMTIME system;
  system.wYear = calendar->year;
  system.wMonth = calendar->month;
  system.wDayOfWeek = calendar->dayOfWeek;
  system.wDay = calendar->day;
  system.wHour = calendar->hour;
  system.wMinute = calendar->minute;
  system.wSecond = calendar->second;
  system.wMilliseconds = calendar->milliseconds;
  FILETIME converted = {};
  BOOL ok = SystemTimeToFileTime(&system, &converted);
  *time = FromFiletime(converted);
  return ok;
}

int OsLocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  FILETIME localTime = ToFiletime(*local);
  FILETIME converted = {};
  BOOL ok = LocalFileTimeToFileTime(&localTime, &converted);
  *utc = FromFiletime(converted);
  return ok;
}

OsHandle OsCreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags) {
  return reinterpret_cast<OsHandle>(
      CreateFileA(path, access, share, nullptr, disposition, flags, nullptr));
}

int OsSetFileTime(OsHandle file, const FileTime* creation, const FileTime* lastAccess,
                  const FileTime* lastWrite) {
  FILETIME created = ToFiletime(*creation);
  FILETIME accessed = ToFiletime(*lastAccess);
  FILETIME written = ToFiletime(*lastWrite);
  return SetFileTime(reinterpret_cast<HANDLE>(file), &created, &accessed, &written);
}

int OsCloseHandle(OsHandle handle) { return CloseHandle(reinterpret_cast<HANDLE>(handle)); }

int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption, kind);
}

FILE* OsFileOpen(const char* path, const char* mode) {
  FILE* stream = fopen(path, mode);
  if (stream != nullptr) {
    setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
  }
  return stream;
}

// The program has one thread, so the streams need no locking: msvcrt's unlocked
// forms are macros on the stream's own buffer.
int OsFileGetc(FILE* stream) { return _fgetc_nolock(stream); }

int OsFilePutc(int byte, FILE* stream) { return _fputc_nolock(byte, stream); }

int OsFileFlushToDisk(FILE* stream) {
  return (fflush(stream) == 0 && _commit(_fileno(stream)) == 0) ? 0 : EOF;
}

int OsFileClose(FILE* stream) { return fclose(stream); }
