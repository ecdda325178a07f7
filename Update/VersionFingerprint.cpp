#include "VersionFingerprint.h"

uint32_t ComputeWordSum(FILE* stream) {
  // One little-endian word a turn: the low byte, then the high byte.
  uint32_t sum = 0;
  for (;;) {
    int low = OsFileGetc(stream);
    if (low == EOF) {
      return sum;
    }
    sum += static_cast<uint32_t>(low);
    int high = OsFileGetc(stream);
    if (high == EOF) {
      return sum;  // a last odd byte is a word with a zero high byte
    }
    sum += static_cast<uint32_t>(high) << 8;
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
