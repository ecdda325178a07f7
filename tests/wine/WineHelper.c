/* A small Windows helper for the Wine scenarios.
     helper.exe hold FILE MARKER  holds FILE open the way a running editor holds
                                  its own executable (others may read it, nobody
                                  may write, replace or delete it), writes MARKER
                                  once it does, and waits to be killed
     helper.exe idle              keeps the prefix's desktop and services running
                                  between runs, so each run finds them ready */
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "idle") == 0) {
    GetDesktopWindow(); /* starts the desktop process if it is not running */
    Sleep(INFINITE);
    return 0;
  }
  if (argc != 4 || strcmp(argv[1], "hold") != 0) {
    return 2;
  }
  HANDLE held = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    return 1;
  }
  HANDLE marker = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  CloseHandle(marker);
  Sleep(INFINITE);
  return 0;
}
