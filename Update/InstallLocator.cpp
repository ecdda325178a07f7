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

// Keeps a candidate only if it is the editor executable, short enough for its
// script archive path to fit a path buffer, and something exists there.
void AcceptExePath(char* out, int capacity) {
  const int length = BoundedLength(out, capacity);
  if (length < 0 || length > kMaxExePathLength || !EndsWithExeTail(out, length) ||
      OsGetFileAttributes(out) == kInvalidFileAttributes) {
    Clear(out, capacity);
  }
}

}  // namespace

void LocateExeByRegistry(char* out, int capacity) {
  Clear(out, capacity);
  OsRegKey key = nullptr;
  if (OsRegOpenClassesKey(kCommandKey, 0, kKeyRead, &key) != kErrorSuccess) {
    return;
  }
  unsigned char value[kRegValueCapacity];
  memset(value, 0, sizeof value);
  uint32_t type = 0;
  uint32_t byteCount = sizeof value;
  // A value that fills the whole buffer has no terminator of its own: refuse it.
  if (OsRegQueryValueEx(key, "", &type, value, &byteCount) == kErrorSuccess && type == kRegSz &&
      memchr(value, 0, sizeof value) != nullptr) {
    CutCommand(reinterpret_cast<const char*>(value), out, capacity);
    if (out[0] != 0) {
      AcceptExePath(out, capacity);
    }
  }
  OsRegCloseKey(key);
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
