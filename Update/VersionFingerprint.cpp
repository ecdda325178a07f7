#include "VersionFingerprint.h"

uint32_t ComputeWordSum(FILE* stream) {
  uint32_t sum = 0;
  bool highByte = false;  // a parity flag, so files past 4 GiB still alternate correctly
  for (;;) {
    int byte = OsFileGetc(stream);
    if (byte == EOF) {
      return sum;
    }
    sum += highByte ? static_cast<uint32_t>(byte) << 8 : static_cast<uint32_t>(byte);
    highByte = !highByte;
  }
}

VersionClass ClassifyExe(uint32_t sum) {
  if (sum == kSumOutdated) {
    return Outdated;
  }
  if (sum == kSumCurrent) {
    return Current;
  }
  return Unrecognised;
}
