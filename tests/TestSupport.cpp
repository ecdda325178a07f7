#include "TestSupport.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>

#include "VersionFingerprint.h"

namespace test {

std::string BytesWithSum(uint32_t sum) {
  std::string bytes;
  uint32_t left = sum;
  while (left > 0xFFFF) {
    bytes += "\xFF\xFF";
    left -= 0xFFFF;
  }
  bytes += static_cast<char>(left & 0xFF);
  bytes += static_cast<char>(left >> 8);
  return bytes;
}

uint32_t SumOfFile(const std::string& windowsPath) {
  FILE* stream = OsFileOpen(windowsPath.c_str(), "rb");
  if (stream == nullptr) {
    abort();
  }
  uint32_t sum = ComputeWordSum(stream);
  OsFileClose(stream);
  return sum;
}

uint64_t ReferenceTotal(const std::string& bytes) {
  uint64_t total = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint64_t byte = static_cast<unsigned char>(bytes[i]);
    total += (i % 2 == 0) ? byte : byte * 256;
  }
  return total;
}

uint32_t ReferenceSum(const std::string& bytes) {
  return static_cast<uint32_t>(ReferenceTotal(bytes) & 0xFFFFFFFFu);
}

std::string Cp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    abort();
  }
  std::string in = utf8;
  std::string out(in.size() * 2 + 1, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
    abort();
  }
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  return out;
}

const ExpectedBox kNotInstalled = {"MsgNotInstalled", "ゼムロ がインストールされていません。",
                                   0x30};
const ExpectedBox kExeReadFailed = {"MsgExeReadFailed", "ZEMLO.exe の読み込みに失敗しました。",
                                    0x10};
const ExpectedBox kScriptsReadFailed = {"MsgScriptsReadFailed",
                                        "Scripts.zmdata の読み込みに失敗しました。", 0x10};
const ExpectedBox kConfirmUpdate = {"MsgConfirmUpdate", "ゼムロ のアップデートを実行しますか？",
                                    0x24};
const ExpectedBox kScriptsWriteFailed = {"MsgScriptsWriteFailed",
                                         "Scripts.zmdata の書き込みに失敗しました。", 0x10};
const ExpectedBox kExeWriteFailed = {"MsgExeWriteFailed", "ZEMLO.exe の書き込みに失敗しました。",
                                     0x10};
const ExpectedBox kUpdateDone = {"MsgUpdateDone", "アップデートが終了しました。", 0x00};
const ExpectedBox kAlreadyUpdated = {"MsgAlreadyUpdated",
                                     "ゼムロ はすでにアップデートされています。", 0x30};
const ExpectedBox kUnrecognisedVersion = {"MsgUnrecognisedVersion",
                                          "ゼムロ は未知のバージョンです。", 0x30};
const ExpectedBox kUpdaterDamaged = {
    "MsgUpdaterDamaged", "アップデータが破損しています。もう一度ダウンロードしてください。", 0x10};

void ExpectShown(const fake::Box& box, const ExpectedBox& expected) {
  EXPECT_EQ(box.text, Cp932(expected.utf8)) << "wanted " << expected.name;
  EXPECT_EQ(box.kind, expected.kind) << expected.name;
  EXPECT_EQ(box.caption, "ZEMLO Updater") << expected.name;
  EXPECT_EQ(box.owner, nullptr) << expected.name;
}

std::string NameOf(const fake::Box& box) {
  for (const ExpectedBox* row :
       {&kNotInstalled, &kExeReadFailed, &kScriptsReadFailed, &kConfirmUpdate, &kScriptsWriteFailed,
        &kExeWriteFailed, &kUpdateDone, &kAlreadyUpdated, &kUnrecognisedVersion,
        &kUpdaterDamaged}) {
    if (box.text == Cp932(row->utf8)) {
      return row->name;
    }
  }
  return "";
}

std::string NewExe() {
  return std::string(reinterpret_cast<const char*>(ExeImage), static_cast<size_t>(ExeImageSize));
}

std::string NewScripts() {
  return std::string(reinterpret_cast<const char*>(ScriptsImage),
                     static_cast<size_t>(ScriptsImageSize));
}

}  // namespace test
