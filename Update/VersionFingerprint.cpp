#include "VersionFingerprint.h"

#include <cstring>

namespace {

// The machine's own word: 4 bytes on the i686 target, 8 on a 64-bit build machine.
typedef size_t Word;
constexpr size_t kWordBytes = sizeof(Word);
constexpr Word kEvenBytes = static_cast<Word>(0x00FF00FF00FF00FFull);

// kWordBytes bytes as one little-endian number: a single load.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read little-endian");
Word LoadLittleEndian(const unsigned char* bytes) {
  Word value = 0;
  memcpy(&value, bytes, sizeof value);
  return value;
}

// The 16-bit lanes of a word, added up.
uint32_t AddLanes(Word lanes) {
  uint32_t total = 0;
  for (size_t i = 0; i < kWordBytes / 2; ++i, lanes >>= 16) {
    total += static_cast<uint32_t>(lanes & 0xFFFF);
  }
  return total;
}

// The sum of `words` 16-bit little-endian words at bytes, modulo 2^32: the sum
// of their low bytes plus 256 times the sum of their high bytes. Two machine
// words a turn: masking spreads their low bytes, and their high bytes, into the
// 16-bit lanes of two accumulators, in plain integer code that needs no vector
// unit. A lane gains at most 2 x 255 a turn, so the lanes are emptied every 128
// turns, before any can carry into the next.
uint32_t SumWords(const unsigned char* bytes, size_t words) {
  constexpr size_t kTurnBytes = 2 * kWordBytes;
  constexpr size_t kBytesBetweenEmptying = 128 * kTurnBytes;
  uint32_t low = 0;
  uint32_t high = 0;
  const unsigned char* wholeTurnsEnd = bytes + 2 * words / kTurnBytes * kTurnBytes;
  while (bytes != wholeTurnsEnd) {
    const size_t left = static_cast<size_t>(wholeTurnsEnd - bytes);
    const unsigned char* stop =
        bytes + (left < kBytesBetweenEmptying ? left : kBytesBetweenEmptying);
    Word lowLanes = 0;
    Word highLanes = 0;
    for (; bytes != stop; bytes += kTurnBytes) {
      const Word first = LoadLittleEndian(bytes);
      const Word second = LoadLittleEndian(bytes + kWordBytes);
      lowLanes += (first & kEvenBytes) + (second & kEvenBytes);
      highLanes += ((first >> 8) & kEvenBytes) + ((second >> 8) & kEvenBytes);
    }
    low += AddLanes(lowLanes);
    high += AddLanes(highLanes);
  }
  for (size_t i = 0; i < words % (kTurnBytes / 2); ++i, bytes += 2) {
    low += bytes[0];
    high += bytes[1];
  }
  return low + (high << 8);
}

}  // namespace

uint32_t ComputeWordSum(FILE* stream) {
  unsigned char block[kFileBlockSize];
  uint32_t sum = 0;
  bool highByteNext = false;  // the last block ended on a word's low byte
  for (;;) {
    const size_t count = OsFileRead(block, sizeof block, stream);
    if (count == 0) {
      return sum;  // the end of the file, or a read error
    }
    size_t at = 0;
    if (highByteNext) {
      sum += static_cast<uint32_t>(block[0]) << 8;
      at = 1;
    }
    const size_t words = (count - at) / 2;
    sum += SumWords(block + at, words);
    at += 2 * words;
    highByteNext = at < count;
    if (highByteNext) {
      sum += block[at];  // a last odd byte is a word with a zero high byte
    }
  }
}

VersionClass ClassifySum(uint32_t sum, const uint32_t* outdated, size_t outdatedCount,
                         uint32_t current) {
  if (IsAmong(sum, outdated, outdatedCount)) {
    return Outdated;
  }
  if (sum == current) {
    return Current;
  }
  return Unrecognised;
}

VersionClass ClassifyExe(uint32_t sum) {
  return ClassifySum(sum, kSumsOutdated, kOutdatedReleases, kSumCurrent);
}
