#include "UpdateDriver.h"

#include <zlib.h>

#include "FileReplacement.h"
#include "InstallLocator.h"
#include "UpdateShared.h"
#include "VersionFingerprint.h"

const char kCaption[] = "ZEMLO Updater";

// The texts are stored as their code page 932 bytes, every non-ASCII byte escaped,
// so the program shows exactly these bytes whatever the compiler's charset.
// clang-format off

// ゼムロ がインストールされていません。
const Message MsgNotInstalled = {"\x83\x5B\x83\x80\x83\x8D \x82\xAA\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81\x42", kMbOk | kMbIconExclamation};
// ZEMLO.exe の読み込みに失敗しました。
const Message MsgExeReadFailed = {"ZEMLO.exe \x82\xCC\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42", kMbOk | kMbIconError};
// Scripts.zmdata の読み込みに失敗しました。
const Message MsgScriptsReadFailed = {"Scripts.zmdata \x82\xCC\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42", kMbOk | kMbIconError};
// ゼムロ のアップデートを実行しますか？
const Message MsgConfirmUpdate = {"\x83\x5B\x83\x80\x83\x8D \x82\xCC\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xF0\x8E\xC0\x8D\x73\x82\xB5\x82\xDC\x82\xB7\x82\xA9\x81\x48", kMbYesNo | kMbIconQuestion};
// Scripts.zmdata の書き込みに失敗しました。
const Message MsgScriptsWriteFailed = {"Scripts.zmdata \x82\xCC\x8F\x91\x82\xAB\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42", kMbOk | kMbIconError};
// ZEMLO.exe の書き込みに失敗しました。
const Message MsgExeWriteFailed = {"ZEMLO.exe \x82\xCC\x8F\x91\x82\xAB\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42", kMbOk | kMbIconError};
// アップデートが終了しました。
const Message MsgUpdateDone = {"\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xAA\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42", kMbOk};
// ゼムロ はすでにアップデートされています。
const Message MsgAlreadyUpdated = {"\x83\x5B\x83\x80\x83\x8D \x82\xCD\x82\xB7\x82\xC5\x82\xC9\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81\x42", kMbOk | kMbIconExclamation};
// ゼムロ は未知のバージョンです。
const Message MsgUnrecognisedVersion = {"\x83\x5B\x83\x80\x83\x8D \x82\xCD\x96\xA2\x92\x6D\x82\xCC\x83\x6F\x81\x5B\x83\x57\x83\x87\x83\x93\x82\xC5\x82\xB7\x81\x42", kMbOk | kMbIconExclamation};
// アップデータが破損しています。もう一度ダウンロードしてください。
const Message MsgUpdaterDamaged = {"\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x5E\x82\xAA\x94\x6A\x91\xB9\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81\x42\x82\xE0\x82\xA4\x88\xEA\x93\x78\x83\x5F\x83\x45\x83\x93\x83\x8D\x81\x5B\x83\x68\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42", kMbOk | kMbIconError};

// clang-format on

int Tell(const Message& message) {
  return ShowMessage(nullptr, message.text, kCaption, message.kind);
}

ReleaseImage ExeRelease = {ExeImage, ExeImageSize, ExeImageChecksum};
ReleaseImage ScriptsRelease = {ScriptsImage, ScriptsImageSize, ScriptsImageChecksum};

bool IsIntact(const ReleaseImage& image) {
  return crc32(0, image.bytes, static_cast<uInt>(image.size)) == image.checksum;
}

void RunUpdate() {
  char exePath[kPathCapacity];
  char scriptsPath[kPathCapacity];

  LocateExe(exePath);
  if (exePath[0] == 0) {
    Tell(MsgNotInstalled);
    return;
  }

  FILE* exe = OsFileOpen(exePath, "rb");
  if (exe == nullptr) {
    Tell(MsgExeReadFailed);
    return;
  }

  // Opening the script archive proves it exists and is readable; it is not read.
  ScriptsPathFromExePath(exePath, scriptsPath);
  FILE* scripts = OsFileOpen(scriptsPath, "rb");
  if (scripts == nullptr) {
    OsFileClose(exe);
    Tell(MsgScriptsReadFailed);
    return;
  }
  OsFileClose(scripts);

  // A read that fails part-way (a share that drops, a bad sector, a placeholder
  // of a file that is not on the disk) leaves a sum of part of the file, which
  // would name no release: it is a failure to read, not an unknown version.
  const uint32_t sum = ComputeWordSum(exe);
  const bool readFailed = OsFileReadFailed(exe) != 0;
  OsFileClose(exe);
  if (readFailed) {
    Tell(MsgExeReadFailed);
    return;
  }

  switch (ClassifyExe(sum)) {
    case Outdated:
      // A damaged copy of the updater (a bad disk, a broken download) would
      // install a broken editor and stamp it as the release: it says so instead,
      // before the question, and writes nothing.
      if (!IsIntact(ExeRelease) || !IsIntact(ScriptsRelease)) {
        Tell(MsgUpdaterDamaged);
        return;
      }
      // Any answer but Yes ends the run with no further message.
      if (Tell(MsgConfirmUpdate) == kIdYes) {
        ApplyUpdate(exePath, scriptsPath);
      }
      return;
    case Current:
      Tell(MsgAlreadyUpdated);
      return;
    case Unrecognised:
      Tell(MsgUnrecognisedVersion);
      return;
  }
}
