// The program's entry point. It opens no window, reads no arguments and
// always exits with 0: everything it has to say it says in message boxes.
#include "Platform.h"
#include "UpdateDriver.h"

// The GUI entry point, declared with plain types so that the program's own
// sources stay free of <windows.h>; the calling convention is WinMain's.
extern "C" int __stdcall WinMain(void* /*instance*/, void* /*previous*/, char* /*commandLine*/,
                                 int /*showCommand*/) {
  OsHardenProcess();  // before anything may load a library or touch a file
  RunUpdate();
  return 0;
}
