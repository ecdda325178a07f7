#include "InstallLocator.h"

#include <cstring>

namespace {

void Clear(char* out, int capacity) { memset(out, 0, static_cast<size_t>(capacity)); }

// Length of a string that must end inside its buffer; -1 when it does not.
int BoundedLength(const char* text, int capacity) {
  const void* end = memchr(text, 0, static_cast<size_t>(capacity));
  return end ? static_cast<int>(static_cast<const char*>(end) - text) : -1;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithExeTail(const char* path, int length) {
  if (length < kExeTailLength) {
    return false;
  }
  const char* tail = path + length - kExeTailLength;
  for (int i = 0; i < kExeTailLength; ++i) {
    if (FoldAscii(tail[i]) != FoldAscii(kExeTail[i])) {
      return false;
    }
  }
  return true;
}

// Copies text into out only when it fits whole, terminator included.
bool CopyWhole(char* out, int capacity, const char* text) {
  const size_t length = strlen(text);
  if (length >= static_cast<size_t>(capacity)) {
    return false;
  }
  memcpy(out, text, length + 1);
  return true;
}

// Cuts the executable path out of an open command: the text between the first
// pair of quotes, or the text before " "%1"" when the command is not quoted.
void CutCommand(const char* command, char* out, int capacity) {
  const bool quoted = command[0] == '"';
  if (!CopyWhole(out, capacity, quoted ? command + 1 : command)) {
    Clear(out, capacity);
    return;
  }
  char* end = quoted ? strchr(out, '"') : strstr(out, kCommandSuffix);
  if (end == nullptr) {
    Clear(out, capacity);
    return;
  }
  *end = 0;
}

// Whether a candidate is named as the editor executable and short enough for its
// script archive path to fit a path buffer.
bool HasEditorShape(const char* path, int capacity) {
  const int length = BoundedLength(path, capacity);
  return length >= 0 && length <= kMaxExePathLength && EndsWithExeTail(path, length);
}

bool NamesSomething(const char* path) {
  return OsGetFileAttributes(path) != kInvalidFileAttributes;
}

// Keeps a candidate only if it is the editor executable, short enough for its
// script archive path to fit a path buffer, and something exists there.
void AcceptExePath(char* out, int capacity) {
  if (!HasEditorShape(out, capacity) || !NamesSomething(out)) {
    Clear(out, capacity);
  }
}

using OpenKey = long (*)(const char* subkey, uint32_t options, uint32_t access, OsRegKey* key);

// Reads a REG_SZ value of the key that open opens into value. A value that fills
// the whole buffer has no terminator of its own, and is refused like a missing
// one: false, value zero-filled but for what the query wrote. The key is closed
// on every path after it opened.
bool ReadRegistryString(OpenKey open, const char* subkey, const char* name,
                        unsigned char (&value)[kRegValueCapacity]) {
  memset(value, 0, sizeof value);
  OsRegKey key = nullptr;
  if (open(subkey, 0, kKeyRead, &key) != kErrorSuccess) {
    return false;
  }
  uint32_t type = 0;
  uint32_t byteCount = sizeof value;
  const bool read = OsRegQueryValueEx(key, name, &type, value, &byteCount) == kErrorSuccess &&
                    type == kRegSz && memchr(value, 0, sizeof value) != nullptr;
  OsRegCloseKey(key);
  return read;
}

// Whether path is on a drive letter ("M:\...") that this process does not have.
bool IsOnMissingDrive(const char* path) {
  const char letter = FoldAscii(path[0]);
  if (letter < 'a' || letter > 'z' || path[1] != ':' || path[2] != '\\') {
    return false;
  }
  const char root[] = {path[0], ':', '\\', 0};
  return OsGetDriveType(root) == kDriveNoRootDir;
}

// Whether a name of a path is made of dots alone: ".", "..", or more dots, which
// Windows may fold into one of those. Each moves where a path leads instead of
// naming a folder.
bool IsDotsOnly(const char* name, size_t length) {
  if (length == 0) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    if (name[i] != '.') {
      return false;
    }
  }
  return true;
}

// Whether any name of a path, between backslashes or forward slashes, is made of
// dots alone.
bool HasDotsOnlyName(const char* path) {
  for (const char* name = path;;) {
    const size_t length = strcspn(name, "\\/");
    if (IsDotsOnly(name, length)) {
      return true;
    }
    if (name[length] == 0) {
      return false;
    }
    name += length + 1;
  }
}

// Whether text names a folder on a share, "\\server\share" with perhaps folders
// below it: no empty name, no name of dots alone, no device ("\\?\", "\\.\"), no
// forward slash, so that the executable's folder is put on that share and nowhere else.
bool IsSharePath(const char* text) {
  if (text[0] != '\\' || text[1] != '\\' || strchr(text, '/') != nullptr) {
    return false;
  }
  int names = 0;
  for (const char* name = text + 2;; ++names) {
    const char* end = strchr(name, '\\');
    const size_t length = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
    if (length == 0 || IsDotsOnly(name, length) || (names == 0 && length == 1 && name[0] == '?')) {
      return false;
    }
    if (end == nullptr) {
      return names >= 1;  // a server and a share at least
    }
    name = end + 1;
  }
}

// An elevated run does not see the drive letters its user mapped: "M:\Apps\..."
// names nothing there. The user's persistent mapping of the letter still names the
// share, "\\server\share", and out becomes "\\server\share\Apps\...". False, with
// out as it was, where the letter has no such mapping or the path would not fit.
// On the letter, "M:\.." stays at "M:\"; on the share it would climb above the
// mapped folder, so a rest of the path with a name of dots alone is refused.
bool PutOnMappedShare(char* out, int capacity) {
  char subkey[sizeof kNetworkKey + 1];
  memcpy(subkey, kNetworkKey, sizeof kNetworkKey - 1);
  subkey[sizeof kNetworkKey - 1] = static_cast<char>(FoldAscii(out[0]) - 'a' + 'A');
  subkey[sizeof kNetworkKey] = 0;
  unsigned char value[kRegValueCapacity] = {};
  char* share = reinterpret_cast<char*>(value);
  if (!ReadRegistryString(OsRegOpenUserKey, subkey, kRemotePathValue, value) ||
      !IsSharePath(share)) {
    return false;
  }
  // The share, then the rest of the path after "M:".
  if (HasDotsOnlyName(out + 2)) {
    return false;
  }
  const size_t shareLength = strlen(share);
  const size_t restLength = strlen(out + 2);
  if (shareLength + restLength >= sizeof value) {
    return false;
  }
  memcpy(share + shareLength, out + 2, restLength + 1);
  return CopyWhole(out, capacity, share);
}

// Keeps the path cut from the association where it is the editor executable: as
// it stands, or, where it names nothing because its drive letter is missing in
// this process, moved onto the share the user mapped that letter to. False, out
// to be cleared, otherwise. A path that names something never has its mapping read.
bool ResolveEditorPath(char* out, int capacity) {
  if (!HasEditorShape(out, capacity)) {
    return false;
  }
  if (NamesSomething(out)) {
    return true;
  }
  return IsOnMissingDrive(out) && PutOnMappedShare(out, capacity) &&
         HasEditorShape(out, capacity) && NamesSomething(out);
}

}  // namespace

void LocateExeByRegistry(char* out, int capacity) {
  Clear(out, capacity);
  unsigned char value[kRegValueCapacity] = {};
  if (!ReadRegistryString(OsRegOpenClassesKey, kCommandKey, "", value)) {
    return;
  }
  CutCommand(reinterpret_cast<const char*>(value), out, capacity);
  if (out[0] != 0 && !ResolveEditorPath(out, capacity)) {
    Clear(out, capacity);
  }
}

void LocateExeByProgramFiles(char* out, int capacity) {
  Clear(out, capacity);
  if (capacity < kShellPathCapacity) {
    return;  // the shell would write past a smaller buffer
  }
  OsItemList folder = nullptr;
  if (OsShGetSpecialFolderLocation(nullptr, kCsidlProgramFiles, &folder) != kSOk) {
    return;
  }
  Clear(out, capacity);
  const int converted = OsShGetPathFromIdList(folder, out);
  OsIlFree(folder);
  const int length = converted ? BoundedLength(out, capacity) : -1;
  const int tailSize = static_cast<int>(sizeof kProgramFilesTail);  // with its terminator
  if (length < 0 || length + tailSize > capacity) {
    Clear(out, capacity);
    return;
  }
  memcpy(out + length, kProgramFilesTail, sizeof kProgramFilesTail);
  AcceptExePath(out, capacity);
}

void LocateExe(char* out) {
  LocateExeByRegistry(out, kPathCapacity);
  if (out[0] == 0) {
    LocateExeByProgramFiles(out, kPathCapacity);
  }
}

void ScriptsPathFromExePath(const char* exePath, char* out) {
  Clear(out, kPathCapacity);
  const int length = BoundedLength(exePath, kPathCapacity);
  if (length < kExeTailLength || length > kMaxExePathLength) {
    return;  // not a lookup result; an empty path fails to open
  }
  const int stem = length - kExeTailLength;
  memcpy(out, exePath, static_cast<size_t>(stem));
  memcpy(out + stem, kScriptsTail, sizeof kScriptsTail);
}
