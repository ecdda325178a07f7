#include <gtest/gtest.h>

#include "TestSupport.h"
#include "VersionFingerprint.h"

namespace {

class WordSum : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  uint32_t SumOf(const std::string& bytes) {
    fake::WriteFile("C:\\sum.bin", bytes);
    return test::SumOfFile("C:\\sum.bin");
  }
};

TEST_F(WordSum, WorkedExamples) {
  EXPECT_EQ(SumOf(""), 0u);
  EXPECT_EQ(SumOf("abc"), 0x62C4u);
  EXPECT_EQ(SumOf("\xFF"), 0xFFu);
  EXPECT_EQ(SumOf(std::string("\x00\xFF", 2)), 0xFF00u);
  EXPECT_EQ(SumOf("\x01\x02\x03"), 0x0204u);  // a last odd byte is a low byte
}

TEST_F(WordSum, WrapsModulo2To32) {
  // 65,538 words of 0xFFFF total 2^32 + 65,534: only the low 32 bits remain.
  std::string bytes(2 * 65538, '\xFF');
  EXPECT_EQ(SumOf(bytes), 0xFFFEu);
  bytes += "\x03";  // and the odd tail byte still counts after the wrap
  EXPECT_EQ(SumOf(bytes), 0x10001u);
  fake::Get().readBlockLimit = 7;
  EXPECT_EQ(SumOf(bytes), 0x10001u);
}

// Whatever the blocks the stream hands out, short or odd-sized (a word's low byte
// then ends one block and its high byte starts the next), the sum is the same.
TEST_F(WordSum, AgreesWithReferenceOverPseudoRandomFilesInAnyBlocks) {
  uint32_t state = 12345;
  for (size_t size : {1u, 2u, 4095u, 65536u, 300001u}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(state >> 23);
    }
    for (size_t blocks : {0u, 1u, 3u, 8u, 2049u, 65535u}) {
      fake::Get().readBlockLimit = blocks;
      EXPECT_EQ(SumOf(bytes), test::ReferenceSum(bytes))
          << "size " << size << ", blocks " << blocks;
    }
  }
}

TEST_F(WordSum, SwappingBytesAcrossParityChangesItSwappingWordsDoesNot) {
  std::string bytes = "\x10\x20\x30\x40\x50\x60";
  uint32_t original = SumOf(bytes);

  std::string crossParity = bytes;
  std::swap(crossParity[0], crossParity[3]);  // even offset with odd offset
  EXPECT_NE(SumOf(crossParity), original);

  std::string wordsSwapped = bytes;
  std::swap(wordsSwapped[0], wordsSwapped[4]);
  std::swap(wordsSwapped[1], wordsSwapped[5]);
  EXPECT_EQ(SumOf(wordsSwapped), original);
}

TEST_F(WordSum, ReadErrorEndsTheSumAfterTheBytesReadBeforeIt) {
  const struct {
    size_t blocks;
    const char* before;  // what was read before the second read failed
  } cases[] = {{2, "ab"}, {3, "abc"}};
  for (const auto& c : cases) {
    SetUp();
    fake::WriteFile("C:\\sum.bin", "abcdef");
    fake::Get().readBlockLimit = c.blocks;
    fake::FailCall(fake::Op::FileRead, 2);
    EXPECT_EQ(test::SumOfFile("C:\\sum.bin"), test::ReferenceSum(c.before)) << c.before;
  }
}

TEST_F(WordSum, ReadsFromTheCurrentPositionAndLeavesTheStreamOpen) {
  fake::WriteFile("C:\\sum.bin", "xyabc");
  FILE* stream = OsFileOpen("C:\\sum.bin", "rb");
  ASSERT_NE(stream, nullptr);
  char skipped[2];
  ASSERT_EQ(OsFileRead(skipped, sizeof skipped, stream), 2u);
  EXPECT_EQ(ComputeWordSum(stream), 0x62C4u);
  EXPECT_EQ(fake::Get().openStreams, 1);
  OsFileClose(stream);
}

TEST(ClassifyExe, MapsTheReleaseFingerprintsAndNothingElse) {
  for (const uint32_t sum : kSumsOutdated) {
    EXPECT_EQ(ClassifyExe(sum), Outdated) << sum;
    EXPECT_EQ(ClassifyExe(sum + 1), sum + 1 == kSumCurrent ? Current : Unrecognised) << sum;
  }
  EXPECT_EQ(ClassifyExe(kSumCurrent), Current);
  EXPECT_EQ(ClassifyExe(0), Unrecognised);
  EXPECT_EQ(ClassifyExe(kSumCurrent - 1), Unrecognised);
  EXPECT_EQ(ClassifyExe(kSumCurrent + 0x10000u), Unrecognised);

  // An updater made for three earlier releases: any of them is one to update.
  const uint32_t earlier[] = {0x1F73A4F0u, 0x0BADF00Du, 0xFFFFFFFFu};
  const struct {
    uint32_t sum;
    VersionClass expected;
  } rows[] = {{0x1F73A4F0u, Outdated}, {0x0BADF00Du, Outdated},     {0xFFFFFFFFu, Outdated},
              {0x4A8ACBE4u, Current},  {0x0BADF00Eu, Unrecognised}, {0u, Unrecognised}};
  for (const auto& row : rows) {
    EXPECT_EQ(ClassifySum(row.sum, earlier, 3, 0x4A8ACBE4u), row.expected) << row.sum;
  }
}

}  // namespace
