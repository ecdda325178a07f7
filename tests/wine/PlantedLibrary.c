/* A library planted beside a program under a system library's name, for the Wine
   scenarios. Once loaded it appends its own path to C:\planted.log and ends the
   process at once with exit code 0x504C, before anything can call the exports
   it lacks. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 2];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    path[length++] = '\n';
    HANDLE log = CreateFileA("C:\\planted.log", FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(log, path, length, &written, NULL);
    CloseHandle(log);
    ExitProcess(0x504C);
  }
  return TRUE;
}
