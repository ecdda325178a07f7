// Every platform operation fails in turn at each of its calls during a whole
// update run; whatever fails, the run must end as the dialogue allows, never
// report an update it did not make, and leave each file either as it was or
// exactly new, with nothing else left behind.
#include <gtest/gtest.h>

#include <map>

#include "TestSupport.h"
#include "UpdateDriver.h"
#include "UpdateShared.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Kestramoor\\ZEMLO";
const char kExe[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe";
const char kScriptsFolder[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data";
const char kScripts[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data\\Scripts.zmdata";
constexpr int kIdYes = 6;

const std::string& OldExe() {
  static const std::string bytes =
      test::BytesWithSum(kSumOutdated) + std::string(200000, '\0');  // several blocks
  return bytes;
}
const std::string kOldScripts(50000, 's');

using test::NewExe;
using test::NewScripts;

void InstallOutdated(bool associated) {
  fake::Reset();
  fake::WriteFile(kExe, OldExe());
  fake::WriteFile(kScripts, kOldScripts);
  if (associated) {
    fake::SetCommand(std::string("\"") + kExe + "\" \"%1\"");
  }
  fake::Get().localOffsetMinutes = 9 * 60;
  fake::Get().answers = {kIdYes};
}

bool IsStampOperation(fake::Op op) {
  return op == fake::Op::SystemTimeToFileTime || op == fake::Op::LocalFileTimeToFileTime ||
         op == fake::Op::GetFileAttributes || op == fake::Op::CreateFile ||
         op == fake::Op::SetFileTime;
}

// Checks what one run with a fault left: the boxes, the files, the leftovers.
void CheckRun(fake::Op op, int n) {
  SCOPED_TRACE(std::string(fake::OpName(op)) + " fails at call " + std::to_string(n));
  const std::vector<fake::Box>& boxes = fake::Get().boxes;

  // The dialogue: an optional question, then exactly one closing box. Only a box
  // the system failed to show may be missing, and then nothing follows it.
  std::string outcome = "none";
  size_t next = 0;
  if (next < boxes.size() && test::NameOf(boxes[next]) == test::kConfirmUpdate.name) {
    ++next;
  }
  if (next < boxes.size()) {
    outcome = test::NameOf(boxes[next]);
    ASSERT_NE(outcome, "") << "an unexpected box";
    ASSERT_NE(outcome, test::kConfirmUpdate.name) << "asked twice";
    ++next;
  }
  EXPECT_EQ(next, boxes.size()) << "more boxes than one closing message";
  if (op != fake::Op::ShowMessage) {
    EXPECT_NE(outcome, "none") << "the run ended without telling the user";
  }

  // Each file is byte for byte old or new, and the message tells the truth.
  std::string exe = fake::ReadFile(kExe);
  std::string scripts = fake::ReadFile(kScripts);
  bool exeNew = exe == NewExe();
  bool scriptsNew = scripts == NewScripts();
  EXPECT_TRUE(exeNew || exe == OldExe()) << "ZEMLO.exe is neither old nor new";
  EXPECT_TRUE(scriptsNew || scripts == kOldScripts) << "Scripts.zmdata is neither old nor new";
  if (outcome == "MsgUpdateDone") {
    EXPECT_TRUE(exeNew && scriptsNew) << "success reported for a failed write";
    if (!IsStampOperation(op)) {
      EXPECT_EQ(fake::Get().stamps.size(), 2u) << "a file was not stamped";
    }
  } else if (outcome == "MsgExeWriteFailed") {
    EXPECT_TRUE(scriptsNew && !exeNew);
  } else if (outcome != "none") {
    EXPECT_FALSE(exeNew || scriptsNew) << outcome << " after a file was changed";
  } else {
    // No box could be shown: either the question (nothing done) or the last one.
    EXPECT_EQ(exeNew, scriptsNew) << "a half update that nobody was told of";
  }
  if (!(exeNew && scriptsNew)) {
    EXPECT_TRUE(fake::Get().stamps.empty()) << "stamped without a complete update";
  }

  // Nothing left behind.
  EXPECT_EQ(fake::ListFolder(kFolder), (std::vector<std::string>{"System", "ZEMLO.exe"}));
  EXPECT_EQ(fake::ListFolder(kScriptsFolder), (std::vector<std::string>{"Scripts.zmdata"}));
  EXPECT_EQ(fake::Get().openStreams, 0);
  EXPECT_EQ(fake::Get().openHandles, 0);
  EXPECT_EQ(fake::Get().shell.listsOutstanding, 0);
  EXPECT_EQ(fake::Get().registry.keysOpen, 0);
}

// Runs the update once per fault point and returns how many points it covered.
int RunFaultPoints(bool associated) {
  // A run without faults counts the calls of each operation.
  InstallOutdated(associated);
  RunUpdate();
  EXPECT_EQ(fake::Get().boxes.size(), 2u);
  std::map<fake::Op, int> counts;
  for (int i = 0; i < static_cast<int>(fake::Op::Count); ++i) {
    counts[static_cast<fake::Op>(i)] = fake::Calls(static_cast<fake::Op>(i));
  }

  int points = 0;
  for (const auto& [op, count] : counts) {
    std::printf("%-24s %4d calls\n", fake::OpName(op), count);
    for (int n = 1; n <= count; ++n) {
      InstallOutdated(associated);
      fake::FailCall(op, n);
      RunUpdate();
      CheckRun(op, n);

      // Never a broken installation: a run without faults finishes the update.
      fake::Get().boxes.clear();
      fake::ClearFaults();
      RunUpdate();
      EXPECT_EQ(fake::ReadFile(kExe), NewExe()) << fake::OpName(op) << " #" << n;
      EXPECT_EQ(fake::ReadFile(kScripts), NewScripts()) << fake::OpName(op) << " #" << n;
      ++points;
      if (::testing::Test::HasFailure()) {
        return points;  // the first broken fault point says enough
      }
    }
  }
  return points;
}

TEST(FaultInjection, EveryOperationFailingAtEachOfItsCallsDuringAnUpdate) {
  int points = RunFaultPoints(true);
  std::printf("fault points covered: %d, each followed by a run without faults\n", points);
  RecordProperty("fault_points", points);
  EXPECT_GT(points, 40);
}

// The same through the Program Files lookup, for the shell's operations.
TEST(FaultInjection, EveryOperationFailingInAnUpdateFoundUnderProgramFiles) {
  int points = RunFaultPoints(false);
  std::printf("fault points covered: %d\n", points);
  RecordProperty("fault_points", points);
  EXPECT_GT(points, 40);
}

}  // namespace
