/* Holds a file open the way a running editor holds its own executable: others
   may read it, nobody may write, replace or delete it. Writes the marker file
   once the file is held, then waits to be killed.
     holdfile.exe FILE MARKER */
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    return 2;
  }
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    return 1;
  }
  HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  CloseHandle(marker);
  Sleep(INFINITE);
  return 0;
}
