// The platform seam on Windows: each operation is its Win32 or C runtime call.
// This is the only source of the program that includes <windows.h>.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <stdlib.h>
#include <wchar.h>

#include "Platform.h"
#include "PlatformWinInternal.h"

namespace {

// Whole files pass through the streams: fewer, larger reads and writes.
constexpr size_t kStreamBufferSize = size_t{64} * 1024;

static_assert(kShellPathCapacity >= 3 * (MAX_PATH - 1) + 1,
              "a shell path of MAX_PATH UTF-16 units fits in UTF-8");

// The texts come from the seam's own conversions or the program's ASCII names,
// so they are valid UTF-8; a system that refuses the flag of the check for UTF-8
// (older ones do) converts them just the same without it.
bool FromUtf8(const char* text, wchar_t* wide, int capacity) {
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, capacity) != 0) {
    return true;
  }
  return GetLastError() == ERROR_INVALID_FLAGS &&
         MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, capacity) != 0;
}

// Whether units form valid UTF-16: every surrogate in a pair. Checked here
// because Windows XP has no WC_ERR_INVALID_CHARS, and without it a lone
// surrogate is converted into another character: another path.
bool IsValidUtf16(const wchar_t* units, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
    const bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
    if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      return false;
    }
  }
  return true;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
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

// Libraries that message boxes and the shell load by name after start-up on some
// Windows version or other, and that are not KnownDLLs (those the system always
// takes from its own folder). Measured under Wine (uxtheme, msimg32) and completed
// with the names that library-planting reports give for such programs.
const wchar_t* const kLibrariesLoadedByName[] = {
    L"uxtheme.dll",     L"dwmapi.dll",        L"msimg32.dll",          L"version.dll",
    L"cryptbase.dll",   L"cryptsp.dll",       L"profapi.dll",          L"userenv.dll",
    L"propsys.dll",     L"sspicli.dll",       L"apphelp.dll",          L"oleacc.dll",
    L"ntmarta.dll",     L"wintypes.dll",      L"windows.storage.dll",  L"kernel.appcore.dll",
    L"textshaping.dll", L"coremessaging.dll", L"coreuicomponents.dll", L"textinputframework.dll"};

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryWFunction)(LPCWSTR);
typedef BOOL(WINAPI* GetFileInformationByHandleExFunction)(HANDLE, FILE_INFO_BY_HANDLE_CLASS,
                                                           LPVOID, DWORD);

// A function of an imported system library that older systems lack, or null.
template <typename Function>
Function SystemFunction(const wchar_t* library, const char* name) {
  return reinterpret_cast<Function>(LookUpSystemFunction(library, name));
}

SystemProcedure FindInLoadedLibrary(const wchar_t* library, const char* name) {
  return reinterpret_cast<SystemProcedure>(GetProcAddress(GetModuleHandleW(library), name));
}

int QueryVirtualization(void* token, unsigned long* enabled) {
  DWORD size = 0;
  return GetTokenInformation(token, TokenVirtualizationEnabled, enabled, sizeof *enabled, &size);
}

// Touching a drive without its medium, or a library the system lacks, would
// otherwise bring up the system's own box ("There is no disk in the drive") before
// the call returns. Set for the whole run and never restored: every path the
// association names is probed. The modes the process inherited stay.
void FailCriticalErrorsQuietly() {
  const UINT inherited = SetErrorMode(0);
  SetErrorMode(inherited | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

}  // namespace

SystemProcedure (*LookUpSystemFunction)(const wchar_t*, const char*) = FindInLoadedLibrary;
int (*QueryTokenVirtualization)(void*, unsigned long*) = QueryVirtualization;

void LockLibrarySearch() {
  auto setDefaultDirectories =
      SystemFunction<SetDefaultDllDirectoriesFunction>(L"kernel32.dll", "SetDefaultDllDirectories");
  const bool systemFolderOnly =
      setDefaultDirectories != nullptr && setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
  auto setDllDirectory =
      SystemFunction<SetDllDirectoryWFunction>(L"kernel32.dll", "SetDllDirectoryW");
  if (setDllDirectory != nullptr) {
    setDllDirectory(L"");  // takes the current folder out of the search
  }

  // A library already loaded is what a later load by name gets, wherever the
  // search would have looked first.
  wchar_t path[MAX_PATH];
  const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
  if (folderLength == 0 || folderLength >= MAX_PATH) {
    return;
  }
  for (const wchar_t* name : kLibrariesLoadedByName) {
    if (folderLength + 1 + wcslen(name) >= MAX_PATH) {
      continue;
    }
    path[folderLength] = L'\\';
    wcscpy(path + folderLength + 1, name);
    // Its own dependencies come from the system folder too: through the default
    // directories where the system has them, else through the search that starts
    // in the library's own folder. A library this system lacks is skipped.
    LoadLibraryExW(path, nullptr, systemFolderOnly ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
  }
}

// A program without an execution level in its manifest, run without elevation,
// would otherwise have its refused writes under Program Files redirected to a
// per-user copy, and read that copy back later: an update nobody else sees.
void TurnOffFileVirtualization() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &token)) {
    return;
  }
  unsigned long enabled = 0;
  // Fails on Windows XP, which has no such information class and no virtualization.
  if (QueryTokenVirtualization(token, &enabled) && enabled != 0) {
    DWORD off = 0;
    SetTokenInformation(token, TokenVirtualizationEnabled, &off, sizeof off);
  }
  CloseHandle(token);
}

namespace {

long OpenKey(HKEY root, const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  *key = nullptr;
  wchar_t wideSubkey[kWidePathCapacity];
  if (!FromUtf8(subkey, wideSubkey, kWidePathCapacity)) {
    return ERROR_INVALID_PARAMETER;
  }
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(root, wideSubkey, options, access, &opened);
  *key = reinterpret_cast<OsRegKey>(opened);
  return result;
}

// The texts are code page 932; room for the longest of them in UTF-16.
constexpr int kWideTextCapacity = 256;

bool WidenFrom932(const char* text, wchar_t* wide) {
  return MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, -1, wide, kWideTextCapacity) != 0;
}

// The last part of a path: what follows its last backslash.
const wchar_t* FinalName(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash != nullptr ? slash + 1 : path;
}

// Whether an open file is the entry at the name it was opened by. Windows opens a
// link itself where FILE_FLAG_OPEN_REPARSE_POINT asks it to; Wine follows a Unix
// symbolic link whatever the flags, and then names the file the link points to.
// Systems without the query (Windows XP) have no links to files.
bool IsEntryAt(HANDLE file, const wchar_t* path) {
  auto query = SystemFunction<GetFileInformationByHandleExFunction>(L"kernel32.dll",
                                                                    "GetFileInformationByHandleEx");
  if (query == nullptr) {
    return true;
  }
  alignas(FILE_NAME_INFO) unsigned char
      buffer[sizeof(FILE_NAME_INFO) + kWidePathCapacity * sizeof(wchar_t)] = {};
  auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!query(file, FileNameInfo, name, sizeof buffer - sizeof(wchar_t))) {
    return false;
  }
  name->FileName[name->FileNameLength / sizeof(wchar_t)] = L'\0';
  return _wcsicmp(FinalName(name->FileName), FinalName(path)) == 0;
}

// A stream of the C runtime on a file the system opened: null when it has none to
// give, and then the handle is closed.
FILE* StreamOn(HANDLE file, int flags, const char* mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, mode);
  if (stream == nullptr) {
    _close(descriptor);
    return nullptr;
  }
  setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
  return stream;
}

}  // namespace

bool WidenPath(const char* path, wchar_t* wide) {
  if (!FromUtf8(path, wide, kWidePathCapacity)) {
    return false;
  }
  if (wcslen(wide) < kPlainPathLimit || wcsncmp(wide, L"\\\\?\\", 4) == 0 ||
      wcsncmp(wide, L"\\\\.\\", 4) == 0) {
    return true;
  }
  wchar_t full[kWidePathCapacity] = {};  // read below even when the call fails
  const DWORD fullLength = GetFullPathNameW(wide, kWidePathCapacity, full, nullptr);
  const bool share = full[0] == L'\\' && full[1] == L'\\';
  const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
  const wchar_t* rest = share ? full + 1 : full;  // \\server\share: \\?\UNC\server\share
  if (fullLength == 0 || fullLength >= static_cast<DWORD>(kWidePathCapacity) ||
      wcslen(prefix) + wcslen(rest) >= static_cast<size_t>(kWidePathCapacity)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  wcscpy(wide, prefix);
  wcscat(wide, rest);
  return true;
}

void OsHardenProcess() {
  FailCriticalErrorsQuietly();
  LockLibrarySearch();
  TurnOffFileVirtualization();
}

long OsLastError() { return static_cast<long>(GetLastError()); }

void OsPause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

long OsRegOpenClassesKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  return OpenKey(HKEY_CLASSES_ROOT, subkey, options, access, key);
}

long OsRegOpenUserKey(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key) {
  return OpenKey(HKEY_CURRENT_USER, subkey, options, access, key);
}

long OsRegQueryValueEx(OsRegKey key, const char* valueName, uint32_t* type, unsigned char* data,
                       uint32_t* byteCount) {
  wchar_t wideName[kWidePathCapacity];
  if (!FromUtf8(valueName, wideName, kWidePathCapacity)) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD offered = *byteCount < kRegValueCapacity ? *byteCount : kRegValueCapacity;
  // A string whose UTF-8 form fits the bytes offered has at most as many UTF-16 units.
  wchar_t value[kRegValueCapacity];
  DWORD valueType = 0;
  DWORD count = offered * sizeof(wchar_t);
  const LONG result = RegQueryValueExW(reinterpret_cast<HKEY>(key), wideName, nullptr, &valueType,
                                       reinterpret_cast<BYTE*>(value), &count);
  *type = valueType;
  if (result != ERROR_SUCCESS) {
    return result;  // ERROR_MORE_DATA where not even the UTF-16 form fits
  }
  if (!IsString(valueType)) {
    if (count > offered) {
      return ERROR_MORE_DATA;
    }
    memcpy(data, value, count);
    *byteCount = count;
    return ERROR_SUCCESS;
  }
  // The units as stored, their terminator only where the value has one.
  const size_t units = count / sizeof(wchar_t);
  if (count % sizeof(wchar_t) != 0 || !IsValidUtf16(value, units)) {
    return ERROR_INVALID_DATA;
  }
  if (units == 0) {
    *byteCount = 0;
    return ERROR_SUCCESS;
  }
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return ERROR_INVALID_DATA;
  }
  if (static_cast<DWORD>(needed) > offered) {
    return ERROR_MORE_DATA;
  }
  WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(units), reinterpret_cast<char*>(data),
                      needed, nullptr, nullptr);
  *byteCount = static_cast<uint32_t>(needed);
  return ERROR_SUCCESS;
}

long OsRegCloseKey(OsRegKey key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

long OsShGetSpecialFolderLocation(void* owner, int csidl, OsItemList* list) {
  LPITEMIDLIST items = nullptr;
  const HRESULT result = SHGetSpecialFolderLocation(static_cast<HWND>(owner), csidl, &items);
  *list = reinterpret_cast<OsItemList>(items);
  return result;
}

int OsShGetPathFromIdList(OsItemList list, char* path) {
  wchar_t wide[MAX_PATH];
  if (!SHGetPathFromIDListW(reinterpret_cast<LPCITEMIDLIST>(list), wide) ||
      !IsValidUtf16(wide, wcslen(wide))) {
    return 0;
  }
  const int written =
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, kShellPathCapacity, nullptr, nullptr);
  return written != 0 ? 1 : 0;
}

void OsIlFree(OsItemList list) { ILFree(reinterpret_cast<LPITEMIDLIST>(list)); }

uint32_t OsGetFileAttributes(const char* path) {
  wchar_t widePath[kWidePathCapacity];
  return WidenPath(path, widePath) ? GetFileAttributesW(widePath) : kInvalidFileAttributes;
}

uint32_t OsGetDriveType(const char* root) {
  wchar_t wideRoot[kWidePathCapacity];
  return FromUtf8(root, wideRoot, kWidePathCapacity) ? GetDriveTypeW(wideRoot) : DRIVE_UNKNOWN;
}

int OsMoveFileEx(const char* from, const char* to, uint32_t flags) {
  wchar_t wideFrom[kWidePathCapacity];
  wchar_t wideTo[kWidePathCapacity];
  if (!WidenPath(from, wideFrom) || !WidenPath(to, wideTo)) {
    return 0;
  }
  return MoveFileExW(wideFrom, wideTo, flags);
}

int OsDeleteFile(const char* path) {
  wchar_t widePath[kWidePathCapacity];
  return WidenPath(path, widePath) ? DeleteFileW(widePath) : 0;
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
  const BOOL ok = SystemTimeToFileTime(&system, &converted);
  *time = FromFiletime(converted);
  return ok;
}

int OsLocalFileTimeToFileTime(const FileTime* local, FileTime* utc) {
  const FILETIME localTime = ToFiletime(*local);
  FILETIME converted = {};
  const BOOL ok = LocalFileTimeToFileTime(&localTime, &converted);
  *utc = FromFiletime(converted);
  return ok;
}

OsHandle OsCreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags) {
  wchar_t widePath[kWidePathCapacity];
  if (!WidenPath(path, widePath)) {
    return kInvalidHandleValue;
  }
  return reinterpret_cast<OsHandle>(
      CreateFileW(widePath, access, share, nullptr, disposition, flags, nullptr));
}

int OsSetFileTime(OsHandle file, const FileTime* creation, const FileTime* lastAccess,
                  const FileTime* lastWrite) {
  const FILETIME created = ToFiletime(*creation);
  const FILETIME accessed = ToFiletime(*lastAccess);
  const FILETIME written = ToFiletime(*lastWrite);
  return SetFileTime(reinterpret_cast<HANDLE>(file), &created, &accessed, &written);
}

int OsCloseHandle(OsHandle handle) { return CloseHandle(reinterpret_cast<HANDLE>(handle)); }

int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind) {
  // Elsewhere than on code page 932, MessageBoxA would read the bytes in the wrong
  // code page. A system that cannot convert from 932 (Windows XP without the East
  // Asian language files) gets the bytes as before.
  wchar_t wideText[kWideTextCapacity];
  wchar_t wideCaption[kWideTextCapacity];
  if (GetACP() != 932 && WidenFrom932(text, wideText) && WidenFrom932(caption, wideCaption)) {
    return MessageBoxW(static_cast<HWND>(owner), wideText, wideCaption, kind);
  }
  return MessageBoxA(static_cast<HWND>(owner), text, caption, kind);
}

FILE* OsFileOpen(const char* path, const char* mode) {
  wchar_t widePath[kWidePathCapacity];
  wchar_t wideMode[8];  // "rb", "r+b", "wb"
  if (!WidenPath(path, widePath) || !FromUtf8(mode, wideMode, 8)) {
    return nullptr;
  }
  // The C runtime keeps the system's error of a failed open in _doserrno.
  _doserrno = 0;
  FILE* stream = _wfopen(widePath, wideMode);
  if (stream == nullptr) {
    SetLastError(static_cast<DWORD>(_doserrno));
    return nullptr;
  }
  setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
  return stream;
}

long OsFileCreateNew(const char* path, FILE** stream) {
  *stream = nullptr;
  wchar_t widePath[kWidePathCapacity];
  if (!WidenPath(path, widePath)) {
    return static_cast<long>(GetLastError());
  }
  // Sharing deletion lets MoveFileExW rename it while this handle is open.
  HANDLE file = CreateFileW(widePath, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return static_cast<long>(GetLastError());
  }
  *stream = StreamOn(file, _O_WRONLY, "wb");
  if (*stream == nullptr) {
    DeleteFileW(widePath);  // created just now, by this call
    return ERROR_TOO_MANY_OPEN_FILES;
  }
  return kErrorSuccess;
}

long OsFileOpenEntry(const char* path, uint32_t share, FILE** stream) {
  *stream = nullptr;
  wchar_t widePath[kWidePathCapacity];
  if (!WidenPath(path, widePath)) {
    return static_cast<long>(GetLastError());
  }
  HANDLE file = CreateFileW(widePath, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return static_cast<long>(GetLastError());
  }
  if (!IsEntryAt(file, widePath)) {
    CloseHandle(file);
    return ERROR_CANT_RESOLVE_FILENAME;
  }
  *stream = StreamOn(file, _O_RDONLY, "rb");
  return *stream != nullptr ? kErrorSuccess : ERROR_TOO_MANY_OPEN_FILES;
}

int OsFileAttributesAndLength(FILE* stream, uint32_t* attributes, uint64_t* length) {
  BY_HANDLE_FILE_INFORMATION information;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!GetFileInformationByHandle(file, &information)) {
    return 0;
  }
  *attributes = information.dwFileAttributes;
  *length = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
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
  return (fflush(stream) == 0 && _commit(_fileno(stream)) == 0) ? 0 : EOF;
}

int OsFileClose(FILE* stream) { return fclose(stream); }
