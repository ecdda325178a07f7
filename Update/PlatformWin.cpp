// The platform seam on Windows: each operation is its Win32 or C runtime call.
// This is the only source of the program that includes <windows.h>.
#include <windows.h>
#include <shlobj.h>

#include "Platform.h"

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

int ShowMessage(void* owner, const char* text, const char* caption, MessageKind kind) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption, kind);
}

FILE* OsFileOpen(const char* path, const char* mode) { return fopen(path, mode); }

int OsFileGetc(FILE* stream) { return fgetc(stream); }

int OsFileClose(FILE* stream) { return fclose(stream); }
