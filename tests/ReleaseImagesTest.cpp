#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "UpdateShared.h"
#include "VersionFingerprint.h"

namespace {

std::string ReadHostFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ReleaseImages, AreTheReleaseFilesByteForByte) {
  std::string exe = ReadHostFile(ZEMLO_EMBEDDED_EXE);
  std::string scripts = ReadHostFile(ZEMLO_EMBEDDED_SCRIPTS);
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(ExeImageSize, static_cast<int32_t>(exe.size()));
  EXPECT_EQ(ScriptsImageSize, static_cast<int32_t>(scripts.size()));
  EXPECT_TRUE(test::NewExe() == exe);
  EXPECT_TRUE(test::NewScripts() == scripts);
}

TEST(ReleaseImages, ExecutableIsAWindowsImageWithTheCurrentFingerprint) {
  ASSERT_GE(ExeImageSize, 2);
  EXPECT_EQ(ExeImage[0], 'M');
  EXPECT_EQ(ExeImage[1], 'Z');
  FILE* stream = fmemopen(const_cast<unsigned char*>(ExeImage), ExeImageSize, "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(ComputeWordSum(stream), kSumCurrent);
  fclose(stream);
  EXPECT_EQ(ClassifyExe(kSumCurrent), Current);
}

// The damage a bad disk, a broken download or a memory fault leaves, each in an
// image that the checksum must then refuse; a word sum like the fingerprint
// cannot see the last of them.
TEST(ReleaseImages, ChecksumRefusesEveryDamage) {
  EXPECT_TRUE(IsIntact(ExeRelease));
  EXPECT_TRUE(IsIntact(ScriptsRelease));
  const std::string intact = test::NewScripts();
  ASSERT_GE(intact.size(), size_t{65536 + 4096});
  std::string oneByte = intact;
  oneByte[61234] = static_cast<char>(oneByte[61234] ^ 0x01);
  std::string zeros = intact;
  zeros.replace(65536, 4096, 4096, '\0');
  std::string wordsExchanged = intact;
  std::swap_ranges(wordsExchanged.begin() + 1000, wordsExchanged.begin() + 1002,
                   wordsExchanged.begin() + 50000);
  const struct {
    const char* what;
    const std::string& bytes;
  } damaged[] = {{"one byte changed", oneByte},
                 {"4 KiB of zeros laid over", zeros},
                 {"two 16-bit words exchanged", wordsExchanged}};
  for (const auto& row : damaged) {
    ASSERT_NE(row.bytes, intact) << row.what;
    const ReleaseImage image = {reinterpret_cast<const unsigned char*>(row.bytes.data()),
                                ScriptsImageSize, ScriptsImageChecksum};
    EXPECT_FALSE(IsIntact(image)) << row.what;
  }
  // The check value published for the CRC-32 of zip and PNG.
  const ReleaseImage published = {reinterpret_cast<const unsigned char*>("123456789"), 9,
                                  0xCBF43926u};
  EXPECT_TRUE(IsIntact(published));
}

#ifdef ZEMLO_STANDIN_RELEASE
TEST(ReleaseImages, StandInHasTheShapeOfTheRealRelease) {
  EXPECT_EQ(ExeImageSize, 1172480);
  EXPECT_EQ(ScriptsImageSize, 123670);
  // Its exact total wraps past 2^32 four times, as the real release's does.
  EXPECT_EQ(test::ReferenceTotal(test::NewExe()), 0x4'0000'0000ull + kSumCurrent);
}
#endif

}  // namespace
