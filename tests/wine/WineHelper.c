/* A small Windows helper for the Wine scenarios.
     helper.exe hold FILE MARKER  holds FILE open the way a running editor holds
                                  its own executable (others may read it, nobody
                                  may write, replace or delete it), writes MARKER
                                  once it does, and waits to be killed
     helper.exe hold FILE MARKER write
                                  holds FILE open for writing, as a program that
                                  is writing it would (others may read and write)
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
  BOOL writing = argc == 5 && strcmp(argv[4], "write") == 0;
  HANDLE held = CreateFileA(argv[2], writing ? GENERIC_WRITE : GENERIC_READ,
                            writing ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    return 1;
  }
  HANDLE marker = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  CloseHandle(marker);
  Sleep(INFINITE);
  return 0;
}
