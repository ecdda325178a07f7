/* A small Windows helper for the Wine scenarios.
     helper.exe hold FILE MARKER [HOW]
                                  holds FILE open, writes MARKER once it does, and
                                  lets go when its standard input closes. HOW:
                                  read (the default) as a running editor holds its
                                  own executable, or a scanner reading a file:
                                  others may read it, nobody may write, replace or
                                  delete it; share as an indexer or a scanner that
                                  lets others read and write meanwhile; write as a
                                  program that is writing it (others may read and
                                  write)
     helper.exe idle              keeps the prefix's desktop and services running
                                  between runs, so each run finds them ready
     helper.exe box               shows a message box, as any program may, with
                                  no care for where its libraries come from
     helper.exe virtualization    exits with 1 if file virtualization is enabled
                                  for a process of this prefix, 0 if it is not, 2
                                  if the system cannot tell */
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "idle") == 0) {
    GetDesktopWindow(); /* starts the desktop process if it is not running */
    Sleep(INFINITE);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "box") == 0) {
    MessageBoxA(NULL, "box", "ZEMLO Updater", MB_OK);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "virtualization") == 0) {
    HANDLE token;
    DWORD enabled = 0, size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled, &size)) {
      return 2;
    }
    return enabled != 0;
  }
  if (argc < 4 || argc > 5 || strcmp(argv[1], "hold") != 0) {
    return 2;
  }
  const char* how = argc == 5 ? argv[4] : "read";
  BOOL writing = strcmp(how, "write") == 0;
  BOOL sharing = writing || strcmp(how, "share") == 0;
  if (!writing && !sharing && strcmp(how, "read") != 0) {
    return 2;
  }
  HANDLE held = CreateFileA(argv[2], writing ? GENERIC_WRITE : GENERIC_READ,
                            sharing ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    return 1;
  }
  HANDLE marker = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  CloseHandle(marker);
  char byte;
  DWORD got;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, NULL) && got != 0) {
  }
  CloseHandle(held);
  return 0;
}
