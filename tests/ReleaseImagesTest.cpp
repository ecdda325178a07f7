#include <gtest/gtest.h>

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

#ifdef ZEMLO_STANDIN_RELEASE
TEST(ReleaseImages, StandInHasTheShapeOfTheRealRelease) {
  EXPECT_EQ(ExeImageSize, 1172480);
  EXPECT_EQ(ScriptsImageSize, 123670);
  // Its exact total wraps past 2^32 four times, as the real release's does.
  EXPECT_EQ(test::ReferenceTotal(test::NewExe()), 0x4'0000'0000ull + kSumCurrent);
}
#endif

}  // namespace
