#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UpdateDriver.h"
#include "UpdateShared.h"

namespace {

const char kExe[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe";
const char kScripts[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data\\Scripts.zmdata";

using test::kAlreadyUpdated;
using test::kConfirmUpdate;
using test::kExeReadFailed;
using test::kExeWriteFailed;
using test::kNotInstalled;
using test::kScriptsReadFailed;
using test::kUnrecognisedVersion;
using test::kUpdateDone;
using test::kUpdaterDamaged;

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  // Installs the editor under Program Files, registered through the association.
  void Install(const std::string& exeBytes, const std::string* scriptsBytes) {
    fake::WriteFile(kExe, exeBytes);
    if (scriptsBytes != nullptr) {
      fake::WriteFile(kScripts, *scriptsBytes);
    }
    fake::SetCommand(std::string("\"") + kExe + "\" \"%1\"");
  }

  // Runs once and checks the boxes shown, byte for byte and in order.
  void RunExpecting(std::initializer_list<test::ExpectedBox> expected, bool writes = false) {
    fake::Get().boxes.clear();
    fake::Get().streamOpens.clear();
    RunUpdate();
    const std::vector<fake::Box>& boxes = fake::Get().boxes;
    ASSERT_EQ(boxes.size(), expected.size());
    size_t i = 0;
    for (const test::ExpectedBox& e : expected) {
      test::ExpectShown(boxes[i++], e);
    }
    EXPECT_EQ(fake::Get().openStreams, 0) << "a stream was left open";
    EXPECT_EQ(fake::OpenedForWriting(), writes);
  }

  const std::string scripts_ = "ZMDATA old scripts";
};

TEST_F(Dialogue, NotInstalled) {
  RunExpecting({kNotInstalled});
  EXPECT_TRUE(fake::Get().streamOpens.empty());
}

TEST_F(Dialogue, ExecutableThatCannotBeRead) {
  fake::MakeFolder(kExe);  // found, but a folder is no stream
  fake::WriteFile(kScripts, scripts_);
  RunExpecting({kExeReadFailed});

  fake::Reset();
  Install(test::BytesWithSum(kSumCurrent), &scripts_);
  fake::FailCall(fake::Op::FileOpen, 1);
  RunExpecting({kExeReadFailed});

  // Opened, but a read fails after the first block: whatever it holds, it is
  // never taken for an unknown release, and nothing is written.
  for (uint32_t sum : {kSumOutdated, kSumCurrent}) {
    fake::Reset();
    Install(test::BytesWithSum(sum), &scripts_);
    fake::Get().readBlockLimit = 4096;
    fake::FailCall(fake::Op::FileRead, 2);
    RunExpecting({kExeReadFailed});
  }
}

TEST_F(Dialogue, AFileOfOddLengthIsSummedToItsEnd) {
  const struct {
    uint32_t sum;
    test::ExpectedBox box;
  } rows[] = {{kSumOutdated, kConfirmUpdate}, {kSumCurrent, kAlreadyUpdated}};
  for (const auto& row : rows) {
    fake::Reset();
    Install(test::BytesWithSum(row.sum) + std::string(1, '\0'), &scripts_);
    fake::Get().readBlockLimit = 4095;
    RunExpecting({row.box});
  }
}

TEST_F(Dialogue, MissingScriptArchiveIsReportedWhateverTheVersion) {
  for (uint32_t sum : {kSumOutdated, kSumCurrent, 0x1234u}) {
    fake::Reset();
    Install(test::BytesWithSum(sum), nullptr);
    RunExpecting({kScriptsReadFailed});
    ASSERT_EQ(fake::Get().streamOpens.size(), 2u);
    EXPECT_EQ(fake::Get().streamOpens[1].path, kScripts);
  }
}

TEST_F(Dialogue, AlreadyUpdated) {
  Install(test::BytesWithSum(kSumCurrent), &scripts_);
  RunExpecting({kAlreadyUpdated});
  // The executable is read, the script archive only opened as a probe.
  ASSERT_EQ(fake::Get().streamOpens.size(), 2u);
  EXPECT_EQ(fake::Get().streamOpens[0].path, kExe);
  EXPECT_EQ(fake::Get().streamOpens[0].mode, "rb");
  EXPECT_EQ(fake::Get().streamOpens[1].path, kScripts);
  EXPECT_EQ(fake::Get().streamOpens[1].mode, "rb");
}

TEST_F(Dialogue, UnrecognisedVersions) {
  for (const std::string& exe : {std::string(), std::string("MZ foreign program"),
                                 test::BytesWithSum(kSumOutdated) + "\x01"}) {
    fake::Reset();
    Install(exe, &scripts_);
    RunExpecting({kUnrecognisedVersion});
  }
}

TEST_F(Dialogue, OutdatedAnsweredNoChangesNothing) {
  const std::string exe = test::BytesWithSum(kSumOutdated);
  Install(exe, &scripts_);
  fake::Get().answers = {7};  // IDNO
  RunExpecting({kConfirmUpdate});
  EXPECT_EQ(fake::ReadFile(kExe), exe);
  EXPECT_EQ(fake::ReadFile(kScripts), scripts_);
}

TEST_F(Dialogue, YesUpdatesAndTheNextRunFindsTheNewRelease) {
  Install(test::BytesWithSum(kSumOutdated), &scripts_);
  fake::Get().answers = {6};  // IDYES
  RunExpecting({kConfirmUpdate, kUpdateDone}, true);
  EXPECT_EQ(fake::ReadFile(kExe).size(), static_cast<size_t>(ExeImageSize));
  EXPECT_EQ(fake::ReadFile(kScripts).size(), static_cast<size_t>(ScriptsImageSize));
  RunExpecting({kAlreadyUpdated});
}

TEST_F(Dialogue, AfterAFailedExecutableWriteTheNextRunAsksAgain) {
  Install(test::BytesWithSum(kSumOutdated), &scripts_);
  fake::SetAttributes(kExe, kFileAttributeReadonly);
  fake::Get().answers = {6};
  RunExpecting({kConfirmUpdate, kExeWriteFailed}, true);
  fake::Get().answers = {7};
  RunExpecting({kConfirmUpdate});
}

// A damaged copy of the updater shows its own box in place of the question and
// opens nothing for writing; intact images give the question as before. Only the
// release to update has its images checked.
TEST_F(Dialogue, ADamagedUpdaterSaysSoInsteadOfAsking) {
  for (ReleaseImage* image : {&ExeRelease, &ScriptsRelease}) {
    const ReleaseImage intact = *image;
    std::string damaged(reinterpret_cast<const char*>(intact.bytes),
                        static_cast<size_t>(intact.size));
    damaged[damaged.size() / 2] ^= 0x10;
    image->bytes = reinterpret_cast<const unsigned char*>(damaged.data());
    fake::Reset();
    Install(test::BytesWithSum(kSumOutdated), &scripts_);
    RunExpecting({kUpdaterDamaged});
    Install(test::BytesWithSum(kSumCurrent), &scripts_);
    RunExpecting({kAlreadyUpdated});
    *image = intact;
    Install(test::BytesWithSum(kSumOutdated), &scripts_);
    RunExpecting({kConfirmUpdate});
  }
}

TEST_F(Dialogue, ClosingTheQuestionIsNotAYes) {
  Install(test::BytesWithSum(kSumOutdated), &scripts_);
  fake::Get().answers = {2};  // IDCANCEL, as when the box is closed otherwise
  RunExpecting({kConfirmUpdate});
}

TEST_F(Dialogue, ProgramFilesInstallationWithoutAssociation) {
  fake::WriteFile(kExe, test::BytesWithSum(kSumCurrent));
  fake::WriteFile(kScripts, scripts_);
  RunExpecting({kAlreadyUpdated});
  EXPECT_EQ(fake::Get().registry.opens, 1);
  EXPECT_EQ(fake::Get().shell.locationCalls, 1);
}

TEST_F(Dialogue, AssociationElsewhereIsPreferred) {
  const char exe[] = "D:\\Tools\\ZEMLO\\ZEMLO.exe";
  fake::WriteFile(exe, test::BytesWithSum(kSumCurrent));
  fake::WriteFile("D:\\Tools\\ZEMLO\\System\\Data\\Scripts.zmdata", scripts_);
  fake::WriteFile(kExe, test::BytesWithSum(kSumOutdated));  // another copy, not used
  fake::WriteFile(kScripts, scripts_);
  fake::SetCommand(std::string(exe) + " \"%1\"");
  RunExpecting({kAlreadyUpdated});
  EXPECT_EQ(fake::Get().streamOpens[0].path, exe);
}

}  // namespace
