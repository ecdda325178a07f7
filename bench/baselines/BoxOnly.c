/* Baseline: a Windows program that only shows the updater's question box. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  MessageBoxA(NULL,
              "\x83\x5B\x83\x80\x83\x8D \x82\xCC\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67"
              "\x82\xF0\x8E\xC0\x8D\x73\x82\xB5\x82\xDC\x82\xB7\x82\xA9\x81\x48",
              "ZEMLO Updater", MB_YESNO | MB_ICONQUESTION);
  return 0;
}
