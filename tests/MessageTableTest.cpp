#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UpdateShared.h"

namespace {

struct Row {
  const Message& message;
  const test::ExpectedBox& expected;
};

const Row kTable[] = {
    {MsgNotInstalled, test::kNotInstalled},
    {MsgExeReadFailed, test::kExeReadFailed},
    {MsgScriptsReadFailed, test::kScriptsReadFailed},
    {MsgConfirmUpdate, test::kConfirmUpdate},
    {MsgScriptsWriteFailed, test::kScriptsWriteFailed},
    {MsgExeWriteFailed, test::kExeWriteFailed},
    {MsgUpdateDone, test::kUpdateDone},
    {MsgAlreadyUpdated, test::kAlreadyUpdated},
    {MsgUnrecognisedVersion, test::kUnrecognisedVersion},
    {MsgUpdaterDamaged, test::kUpdaterDamaged},
};

TEST(MessageTable, TextsAreTheCodePage932BytesOfTheTable) {
  for (const Row& row : kTable) {
    EXPECT_EQ(std::string(row.message.text), test::Cp932(row.expected.utf8)) << row.expected.name;
  }
}

TEST(MessageTable, KindsAndCaption) {
  for (const Row& row : kTable) {
    EXPECT_EQ(row.message.kind, row.expected.kind) << row.expected.name;
  }
  EXPECT_STREQ(kCaption, "ZEMLO Updater");
}

TEST(MessageTable, FullWidthMarksAndAsciiSpaces) {
  // "？" and "。" are full-width; the space after a product name is ASCII.
  EXPECT_EQ(std::string(MsgConfirmUpdate.text).substr(6, 1), " ");
  EXPECT_EQ(
      std::string(MsgConfirmUpdate.text).substr(std::string(MsgConfirmUpdate.text).size() - 2),
      "\x81\x48");
  EXPECT_EQ(std::string(MsgUpdateDone.text).substr(std::string(MsgUpdateDone.text).size() - 2),
            "\x81\x42");
}

}  // namespace
