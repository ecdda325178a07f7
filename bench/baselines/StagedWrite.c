/* Baseline for the update phase: the updater's staged write done plainly. It
   reads the two release files into memory, asks, then writes each with 64 KiB
   fwrite blocks to a temporary file beside its target, flushes it to disk,
   renames it over the target, stamps both files as the updater does and says
   it is done.
     staged-write.exe SOURCE_EXE SOURCE_SCRIPTS TARGET_EXE TARGET_SCRIPTS */
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef struct {
  unsigned char* bytes;
  long size;
} Image;

static int Load(const char* path, Image* image) {
  FILE* file = fopen(path, "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0) {
    return 0;
  }
  image->size = ftell(file);
  image->bytes = malloc((size_t)image->size);
  rewind(file);
  int read = image->bytes != NULL &&
             fread(image->bytes, 1, (size_t)image->size, file) == (size_t)image->size;
  fclose(file);
  return read;
}

static int Write(const char* target, const Image* image) {
  char temporary[MAX_PATH + 16];
  snprintf(temporary, sizeof temporary, "%s.tmp", target);
  FILE* file = fopen(temporary, "wb");
  if (file == NULL) {
    return 0;
  }
  int written = 1;
  for (long at = 0; at < image->size && written; at += 64 * 1024) {
    size_t block = (size_t)(image->size - at < 64 * 1024 ? image->size - at : 64 * 1024);
    written = fwrite(image->bytes + at, 1, block, file) == block;
  }
  written = written && fflush(file) == 0 && _commit(_fileno(file)) == 0;
  written = fclose(file) == 0 && written;
  return written &&
         MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

static void Stamp(const char* path) {
  SYSTEMTIME local = {2008, 1, 0, 25, 0, 0, 0, 0};
  FILETIME localTime, utc;
  SystemTimeToFileTime(&local, &localTime);
  LocalFileTimeToFileTime(&localTime, &utc);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  SetFileTime(file, &utc, &utc, &utc);
  CloseHandle(file);
}

int main(int argc, char** argv) {
  Image exe, scripts;
  if (argc != 5 || !Load(argv[1], &exe) || !Load(argv[2], &scripts)) {
    return 2;
  }
  if (MessageBoxA(NULL, "Write?", "ZEMLO Updater", MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return 0;
  }
  int written = Write(argv[4], &scripts) && Write(argv[3], &exe);
  if (written) {
    Stamp(argv[3]);
    Stamp(argv[4]);
  }
  MessageBoxA(NULL, written ? "Done." : "Failed.", "ZEMLO Updater", MB_OK);
  return written ? 0 : 1;
}
