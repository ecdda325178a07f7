#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UpdateShared.h"

namespace {

// The table as written for people: UTF-8 text and the box kind as MB_ flags.
struct Row {
  const Message& message;
  const char* utf8;
  uint32_t kind;
};

const Row kTable[] = {
    {MsgNotInstalled, "ゼムロ がインストールされていません。", 0x30},
    {MsgExeReadFailed, "ZEMLO.exe の読み込みに失敗しました。", 0x10},
    {MsgScriptsReadFailed, "Scripts.zmdata の読み込みに失敗しました。", 0x10},
    {MsgConfirmUpdate, "ゼムロ のアップデートを実行しますか？", 0x24},
    {MsgScriptsWriteFailed, "Scripts.zmdata の書き込みに失敗しました。", 0x10},
    {MsgExeWriteFailed, "ZEMLO.exe の書き込みに失敗しました。", 0x10},
    {MsgUpdateDone, "アップデートが終了しました。", 0x00},
    {MsgAlreadyUpdated, "ゼムロ はすでにアップデートされています。", 0x30},
    {MsgUnrecognisedVersion, "ゼムロ は未知のバージョンです。", 0x30},
};

TEST(MessageTable, TextsAreTheCodePage932BytesOfTheTable) {
  for (const Row& row : kTable) {
    EXPECT_EQ(std::string(row.message.text), test::Cp932(row.utf8)) << row.utf8;
  }
}

TEST(MessageTable, KindsAndCaption) {
  for (const Row& row : kTable) {
    EXPECT_EQ(row.message.kind, row.kind) << row.utf8;
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
