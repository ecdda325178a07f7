// zemlo-fingerprint: what the updater would make of an editor executable.
//
//   zemlo-fingerprint [--expect outdated|current|unrecognised] FILE...
//
// For each file: its path, size, word sum (hexadecimal and decimal) and the
// version class this build's release sums give it, computed by the updater's own
// ComputeWordSum and ClassifyExe. A file that cannot be read
// is reported on standard error; the exit code is 1 when any file could not be
// read or, with --expect, has another class, 2 for wrong arguments, else 0.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "VersionFingerprint.h"

namespace {

const char* ClassName(VersionClass version) {
  switch (version) {
    case Outdated:
      return "outdated";
    case Current:
      return "current";
    case Unrecognised:
      break;
  }
  return "unrecognised";
}

// Prints one file's line; false when it cannot be read whole.
bool Report(const char* path, const char* expected, bool* matches) {
  struct stat info = {};
  if (stat(path, &info) != 0) {
    fprintf(stderr, "zemlo-fingerprint: %s: %s\n", path, strerror(errno));
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    fprintf(stderr, "zemlo-fingerprint: %s: is a folder, not a file\n", path);
    return false;
  }
  FILE* stream = OsFileOpen(path, "rb");
  if (stream == nullptr) {
    fprintf(stderr, "zemlo-fingerprint: %s: %s\n", path, strerror(errno));
    return false;
  }
  uint32_t sum = ComputeWordSum(stream);
  bool failed = OsFileReadFailed(stream) != 0;  // the sum stops at a read error as at the end
  OsFileClose(stream);
  if (failed) {
    fprintf(stderr, "zemlo-fingerprint: %s: read error\n", path);
    return false;
  }
  const char* name = ClassName(ClassifyExe(sum));
  printf("%s\t%" PRIu64 " bytes\t0x%08" PRIX32 "\t%" PRIu32 "\t%s\n", path,
         static_cast<uint64_t>(info.st_size), sum, sum, name);
  if (expected != nullptr && strcmp(expected, name) != 0) {
    *matches = false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const char* expected = nullptr;
  if (argc > 2 && strcmp(argv[1], "--expect") == 0) {
    expected = argv[2];
    first = 3;
    if (strcmp(expected, "outdated") != 0 && strcmp(expected, "current") != 0 &&
        strcmp(expected, "unrecognised") != 0) {
      first = argc;  // no files: print the usage
    }
  }
  if (first >= argc) {
    fprintf(stderr,
            "usage: zemlo-fingerprint [--expect outdated|current|unrecognised] FILE...\n"
            "This build: kSumCurrent 0x%08" PRIX32 ", kSumsOutdated",
            kSumCurrent);
    for (const uint32_t sum : kSumsOutdated) {
      fprintf(stderr, " 0x%08" PRIX32, sum);
    }
    fprintf(stderr, "\n");
    return 2;
  }
  bool allRead = true;
  bool matches = true;
  for (int i = first; i < argc; ++i) {
    allRead = Report(argv[i], expected, &matches) && allRead;
  }
  if (!matches) {
    fprintf(stderr, "zemlo-fingerprint: not every file is %s\n", expected);
  }
  return allRead && matches ? 0 : 1;
}
