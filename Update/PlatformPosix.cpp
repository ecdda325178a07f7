// The file streams of the platform seam on Linux, for the host tools that read
// release files with the program's own fingerprint code. The registry, shell,
// file-time and message-box operations exist only on Windows and in the tests'
// stand-in.
#include "Platform.h"

FILE* OsFileOpen(const char* path, const char* mode) { return fopen(path, mode); }

int OsFileGetc(FILE* stream) { return fgetc(stream); }

int OsFileClose(FILE* stream) { return fclose(stream); }
