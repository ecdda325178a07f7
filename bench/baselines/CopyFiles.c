/* Baseline: a Windows program that asks, then only copies the two release files
   over the installation with the system's own CopyFileA, and says it is done.
   With "flush" it also gets each copy to disk (FlushFileBuffers), as the updater
   does before it replaces a file.
     copy-files.exe copy|flush SOURCE_EXE SOURCE_SCRIPTS TARGET_EXE TARGET_SCRIPTS */
#include <string.h>
#include <windows.h>

static BOOL Copy(const char* from, const char* to, BOOL flush) {
  if (!CopyFileA(from, to, FALSE)) {
    return FALSE;
  }
  if (!flush) {
    return TRUE;
  }
  HANDLE file = CreateFileA(to, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  BOOL flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  return flushed;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    return 2;
  }
  BOOL flush = strcmp(argv[1], "flush") == 0;
  if (MessageBoxA(NULL, "Copy?", "ZEMLO Updater", MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return 0;
  }
  BOOL copied = Copy(argv[3], argv[5], flush) && Copy(argv[2], argv[4], flush);
  MessageBoxA(NULL, copied ? "Done." : "Failed.", "ZEMLO Updater", MB_OK);
  return copied ? 0 : 1;
}
