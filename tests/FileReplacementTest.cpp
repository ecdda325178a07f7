#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "FileReplacement.h"
#include "TestSupport.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Kestramoor\\ZEMLO";
const char kExe[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe";
const char kScriptsFolder[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data";
const char kScripts[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data\\Scripts.zmdata";

// 2008-01-25 00:00:00 as a FILETIME in UTC, and as local time seen from UTC+9 and UTC-5.
constexpr FileTime kStampAtUtc = 128456928000000000ull;
constexpr FileTime kStampInTokyo = 128456604000000000ull;
constexpr FileTime kStampInNewYork = 128457108000000000ull;

const std::string kOldExe = std::string(1300000, 'e');  // longer than the new one
const std::string kOldScripts = "ZMDATA old scripts";

using test::kExeWriteFailed;
using test::kScriptsWriteFailed;
using test::kUpdateDone;
using test::NewExe;
using test::NewScripts;

class Replacement : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::WriteFile(kExe, kOldExe);
    fake::WriteFile(kScripts, kOldScripts);
    patienceMs_ = kPatienceMs;
  }

  int PausedMs() {
    int total = 0;
    for (int pause : fake::Get().pauses) {
      total += pause;
    }
    return total;
  }

  void ExpectBox(const test::ExpectedBox& expected) {
    ASSERT_EQ(fake::Get().boxes.size(), 1u);
    test::ExpectShown(fake::Get().boxes[0], expected);
  }

  // Nothing but the editor's own files in its folders, every stream and handle closed.
  void ExpectNoLeftovers() {
    EXPECT_EQ(fake::ListFolder(kFolder), (std::vector<std::string>{"System", "ZEMLO.exe"}));
    EXPECT_EQ(fake::ListFolder(kScriptsFolder), (std::vector<std::string>{"Scripts.zmdata"}));
    EXPECT_EQ(fake::Get().openStreams, 0);
    EXPECT_EQ(fake::Get().openHandles, 0);
  }

  int patienceMs_ = kPatienceMs;
};

TEST_F(Replacement, UpdateWritesBothImagesExactlyAndStampsThem) {
  fake::Get().localOffsetMinutes = 9 * 60;
  ApplyUpdate(kExe, kScripts);
  ExpectBox(kUpdateDone);
  EXPECT_EQ(fake::ReadFile(kExe), NewExe());  // shorter than the old file: no old tail remains
  EXPECT_EQ(fake::ReadFile(kScripts), NewScripts());
  ExpectNoLeftovers();

  // The script archive is put in place before the executable.
  ASSERT_EQ(fake::Get().moves.size(), 2u);
  EXPECT_EQ(fake::Get().moves[0].to, kScripts);
  EXPECT_EQ(fake::Get().moves[1].to, kExe);
  EXPECT_EQ(fake::Get().moves[1].flags, kMoveFileReplaceExisting | kMoveFileWriteThrough);

  for (const char* path : {kExe, kScripts}) {
    const fake::Stamp& stamp = fake::Get().stamps[path];
    EXPECT_EQ(stamp.creation, kStampInTokyo) << path;
    EXPECT_EQ(stamp.lastAccess, kStampInTokyo) << path;
    EXPECT_EQ(stamp.lastWrite, kStampInTokyo) << path;
  }
  ASSERT_EQ(fake::Get().timesOpens.size(), 2u);
  EXPECT_EQ(fake::Get().timesOpens[0].path, kExe);  // the executable is stamped first
  const fake::TimesOpen& open = fake::Get().timesOpens[1];
  EXPECT_EQ(open.access, 0x40000000u);  // GENERIC_WRITE
  EXPECT_EQ(open.share, 1u);            // FILE_SHARE_READ
  EXPECT_EQ(open.disposition, 3u);      // OPEN_EXISTING
  EXPECT_EQ(open.flags, 0x80u);         // FILE_ATTRIBUTE_NORMAL
}

TEST_F(Replacement, StampIsLocalMidnightConvertedWithTheCurrentOffset) {
  const struct {
    int offsetMinutes;
    FileTime utc;
  } cases[] = {{0, kStampAtUtc}, {9 * 60, kStampInTokyo}, {-5 * 60, kStampInNewYork}};
  for (const auto& c : cases) {
    fake::Get().localOffsetMinutes = c.offsetMinutes;
    EXPECT_TRUE(StampFileTime(kExe, ReleaseStamp, &patienceMs_));
    EXPECT_EQ(fake::Get().stamps[kExe].lastWrite, c.utc) << c.offsetMinutes;
  }
  // The host file carries it too, as seconds since 1970.
  struct stat info;
  ASSERT_EQ(stat(fake::HostPath(kExe).c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1201237200);
}

TEST_F(Replacement, StampFailuresReturnFalseAndLeaveNoHandleOpen) {
  const fake::Op points[] = {fake::Op::SystemTimeToFileTime, fake::Op::LocalFileTimeToFileTime,
                             fake::Op::GetFileAttributes, fake::Op::CreateFile,
                             fake::Op::SetFileTime};
  for (fake::Op op : points) {
    SetUp();
    fake::FailCall(op, 1);
    EXPECT_FALSE(StampFileTime(kExe, ReleaseStamp, &patienceMs_)) << fake::OpName(op);
    EXPECT_EQ(fake::Get().openHandles, 0) << fake::OpName(op);
  }
  SetUp();
  EXPECT_FALSE(StampFileTime("C:\\nowhere\\ZEMLO.exe", ReleaseStamp, &patienceMs_));
  SystemTime invalid = ReleaseStamp;
  invalid.month = 13;
  EXPECT_FALSE(StampFileTime(kExe, invalid, &patienceMs_));
}

TEST_F(Replacement, StampFailuresAreNotReported) {
  const fake::Op points[] = {fake::Op::SystemTimeToFileTime, fake::Op::LocalFileTimeToFileTime,
                             fake::Op::CreateFile, fake::Op::SetFileTime};
  for (fake::Op op : points) {
    for (int n : {1, 2}) {  // the executable's stamp, then the script archive's
      SetUp();
      fake::FailCall(op, n);
      ApplyUpdate(kExe, kScripts);
      ExpectBox(kUpdateDone);
      EXPECT_EQ(fake::ReadFile(kExe), NewExe());
      EXPECT_EQ(fake::ReadFile(kScripts), NewScripts());
      ExpectNoLeftovers();
    }
  }
}

TEST_F(Replacement, WriteFailureKeepsTheOldFileAndRemovesTheTemporary) {
  struct Point {
    fake::Op op;
    int n;
    bool replaced = false;
  };
  const Point points[] = {
      {fake::Op::FileOpen, 1},                 // the probe of the old file
      {fake::Op::FileCreateNew, 1},            // the temporary file
      {fake::Op::FileWrite, 1},                // half the image written, then a full disk
      {fake::Op::FileFlushToDisk, 1},          // getting the bytes to disk
      {fake::Op::MoveFileEx, 1},               // putting it in place
      {fake::Op::FileClose, 2, true},          // closing it once in place: its bytes are there
      {fake::Op::GetFileAttributes, 1, true},  // no attributes: treated as absent
  };
  for (const Point& point : points) {
    SetUp();
    fake::FailCall(point.op, point.n);
    bool written = WriteImage(kScripts, ScriptsImage, ScriptsImageSize, &patienceMs_);
    std::string now = fake::ReadFile(kScripts);
    if (point.replaced) {
      EXPECT_TRUE(written);
      EXPECT_EQ(now, NewScripts());
    } else {
      EXPECT_FALSE(written) << fake::OpName(point.op) << " #" << point.n;
      EXPECT_EQ(now, kOldScripts) << fake::OpName(point.op) << " #" << point.n;
    }
    ExpectNoLeftovers();
  }
}

TEST_F(Replacement, ScriptArchiveFailureChangesNothing) {
  fake::FailCall(fake::Op::FileWrite, 1);
  ApplyUpdate(kExe, kScripts);
  ExpectBox(kScriptsWriteFailed);
  EXPECT_EQ(fake::ReadFile(kScripts), kOldScripts);
  EXPECT_EQ(fake::ReadFile(kExe), kOldExe);
  EXPECT_TRUE(fake::Get().stamps.empty());
  ExpectNoLeftovers();
}

TEST_F(Replacement, ExecutableFailureLeavesNewScriptsBesideTheOldExecutable) {
  // The executable's first block: the script archive's blocks went first.
  const int scriptsBlocks = static_cast<int>(
      (static_cast<size_t>(ScriptsRelease.size) + kFileBlockSize - 1) / kFileBlockSize);
  fake::FailCall(fake::Op::FileWrite, scriptsBlocks + 1);
  ApplyUpdate(kExe, kScripts);
  ExpectBox(kExeWriteFailed);
  EXPECT_EQ(fake::ReadFile(kScripts), NewScripts());
  EXPECT_EQ(fake::ReadFile(kExe), kOldExe);
  EXPECT_TRUE(fake::Get().stamps.empty());  // no stamping after a failed write
  ExpectNoLeftovers();
}

TEST_F(Replacement, RefusesWhatAPlainOpenForWritingWouldRefuse) {
  struct Refusal {
    const char* what;
    void (*apply)(const char* path);
    int pausedMs;  // what a hold might explain is waited out for the file's whole patience
  };
  const Refusal refusals[] = {
      {"read-only", [](const char* p) { fake::SetAttributes(p, kFileAttributeReadonly); }, 0},
      {"hidden", [](const char* p) { fake::SetAttributes(p, kFileAttributeHidden); }, 0},
      {"system", [](const char* p) { fake::SetAttributes(p, kFileAttributeSystem); }, 0},
      {"in use", [](const char* p) { fake::SetInUse(p); }, 2000},
      {"access denied", [](const char* p) { fake::SetAccessDenied(p); }, 2000},
  };
  for (const Refusal& refusal : refusals) {
    SetUp();
    refusal.apply(kScripts);
    ApplyUpdate(kExe, kScripts);
    ExpectBox(kScriptsWriteFailed);
    EXPECT_EQ(fake::ReadFile(kScripts), kOldScripts) << refusal.what;
    EXPECT_EQ(fake::ReadFile(kExe), kOldExe) << refusal.what;
    EXPECT_EQ(PausedMs(), refusal.pausedMs) << refusal.what;
    ExpectNoLeftovers();

    SetUp();
    refusal.apply(kExe);
    ApplyUpdate(kExe, kScripts);
    ExpectBox(kExeWriteFailed);
    EXPECT_EQ(fake::ReadFile(kScripts), NewScripts()) << refusal.what;
    EXPECT_EQ(fake::ReadFile(kExe), kOldExe) << refusal.what;
    EXPECT_EQ(PausedMs(), refusal.pausedMs) << refusal.what;
    ExpectNoLeftovers();
  }
}

// A scanner's or an indexer's moment on a file is waited out; a refusal no wait
// cures, or one that outlasts the file's patience, ends as it always did.
TEST_F(Replacement, MomentaryRefusalsAreWaitedOutForABoundedTime) {
  constexpr long kSharing = kErrorSharingViolation;
  constexpr long kDenied = kErrorAccessDenied;
  constexpr long kLock = kErrorLockViolation;
  constexpr long kDiskFull = 112;
  constexpr long kNotFound = 2;
  constexpr int kForGood = 1000;
  struct Refusal {
    fake::Op op;
    int first;  // the call refused first: the script archive's is 1, the executable's 2
    int count;
    long error;
  };
  const fake::Op kProbe = fake::Op::FileOpen, kMove = fake::Op::MoveFileEx,
                 kStampOpen = fake::Op::CreateFile, kCreate = fake::Op::FileCreateNew;
  const struct Row {
    Refusal refusal;
    Refusal then;  // a second refusal, of the same file, or none
    const test::ExpectedBox& box;
    int tries;     // calls of refusal.op in the whole update
    int pausedMs;  // in all
    bool exeStamped;
    // Another updater replaces the executable during the first pause: its clean-up
    // must pass over this run's temporary file, still open while it waits to move.
    bool anotherUpdater = false;
  } rows[] = {
      {{kProbe, 1, 1, kSharing}, {}, kUpdateDone, 3, 20, true},
      {{kProbe, 1, 4, kDenied}, {}, kUpdateDone, 6, 20 + 40 + 80 + 160, true},
      {{kProbe, 1, kForGood, kSharing}, {}, kScriptsWriteFailed, 10, 2000, false},
      {{kProbe, 2, kForGood, kLock}, {}, kExeWriteFailed, 11, 2000, false},
      {{kProbe, 1, 1, kNotFound}, {}, kScriptsWriteFailed, 1, 0, false},
      {{kMove, 2, 1, kDenied}, {}, kUpdateDone, 3, 20, true},
      {{kMove, 2, 3, kSharing}, {}, kUpdateDone, 5, 20 + 40 + 80, true},
      {{kMove, 2, kForGood, kDenied}, {}, kExeWriteFailed, 11, 2000, false},
      {{kMove, 2, 1, kDenied}, {}, kUpdateDone, 4, 20, true, true},
      {{kMove, 1, 1, kDiskFull}, {}, kScriptsWriteFailed, 1, 0, false},
      // A folder that refuses every new file: the first name is free, and a second
      // try tells that nothing let go of it in between.
      {{kCreate, 1, kForGood, kDenied}, {}, kScriptsWriteFailed, 2, 0, false},
      {{kStampOpen, 1, 2, kSharing}, {}, kUpdateDone, 4, 20 + 40, true},
      {{kStampOpen, 1, 10, kDenied}, {}, kUpdateDone, 11, 2000, false},  // every exe try
      {{kStampOpen, 1, 1, kNotFound}, {}, kUpdateDone, 2, 0, false},
      // One patience for each file: what its probe waited is not waited again.
      {{kProbe, 2, 8, kSharing}, {kMove, 2, kForGood, kDenied}, kExeWriteFailed, 10, 2000, false},
      {{kMove, 2, 6, kSharing}, {kStampOpen, 1, 7, kSharing}, kUpdateDone, 8, 2000, false},
  };
  for (const Row& row : rows) {
    SetUp();
    const Refusal& r = row.refusal;
    SCOPED_TRACE(std::string(fake::OpName(r.op)) + " from call " + std::to_string(r.first) + " x" +
                 std::to_string(r.count) + ", error " + std::to_string(r.error));
    fake::Refuse(r.op, r.first, r.count, r.error);
    if (row.then.count != 0) {
      fake::Refuse(row.then.op, row.then.first, row.then.count, row.then.error);
    }
    int otherPatienceMs = kPatienceMs;
    bool otherWritten = false;
    if (row.anotherUpdater) {
      fake::Get().duringNextPause = [&] {
        otherWritten = WriteImage(kExe, ExeImage, ExeImageSize, &otherPatienceMs);
      };
    }
    ApplyUpdate(kExe, kScripts);
    ExpectBox(row.box);
    if (row.anotherUpdater) {
      EXPECT_TRUE(otherWritten);
      const std::string temporary = std::string(kExe) + ".zemlo-new";
      ASSERT_EQ(fake::Get().moves.size(), 4u);
      EXPECT_EQ(fake::Get().moves[2].from, temporary + "-2");  // the other updater's
      EXPECT_EQ(fake::Get().moves[3].from, temporary);         // this run's, kept for it
    }
    EXPECT_EQ(fake::Calls(r.op), row.tries);
    EXPECT_EQ(PausedMs(), row.pausedMs);
    for (int pause : fake::Get().pauses) {
      EXPECT_TRUE(pause > 0 && pause <= 400) << pause;
    }
    bool done = &row.box == &kUpdateDone;
    EXPECT_EQ(fake::ReadFile(kExe), done ? NewExe() : kOldExe);
    EXPECT_EQ(fake::ReadFile(kScripts),
              done || &row.box == &kExeWriteFailed ? NewScripts() : kOldScripts);
    EXPECT_EQ(fake::Get().stamps.count(kExe), row.exeStamped ? 1u : 0u);
    EXPECT_EQ(fake::Get().stamps.count(kScripts), done ? 1u : 0u);
    ExpectNoLeftovers();
  }
}

// What an interrupted run left at the temporary names (a plain file nobody writes,
// holding the first bytes of the image) is removed, from the first name up to the
// first free one. Anything else there (other bytes, a file another updater is
// writing, a planted link, a folder) is never written, truncated, moved or
// removed: the next free name is taken, and with none free the write fails.
TEST_F(Replacement, TemporaryNames) {
  const std::string kTemporary = std::string(kScripts) + ".zemlo-new";
  const char kOutside[] = "C:\\Victim\\precious.bin";
  const std::string image = NewScripts();
  const std::string part = image.substr(0, 70000);  // more than one block of the comparison
  const std::string theirs = "not this run's";
  std::string changedAtTheEnd = image;
  changedAtTheEnd.back() ^= 1;
  auto name = [&](int n) { return n == 1 ? kTemporary : kTemporary + "-" + std::to_string(n); };

  // Pending: a name a removed file still holds; Freed: the same, let go between the
  // refused creation and the look at the name; Held: a leftover a scanner has open,
  // sharing deletion, so that removing it leaves its name held.
  enum Kind { File, Folder, Link, Written, Denied, Pending, Freed, Held };
  struct Thing {
    int name;
    std::string bytes;
    Kind kind = File;
    uint32_t attributes = 0;
  };
  struct Row {
    const char* what;
    std::vector<Thing> planted;
    std::vector<int> kept;               // the names still there afterwards
    int used;                            // the name written to, or 0 when the write failed
    fake::Op failing = fake::Op::Count;  // an operation whose first call fails, if any
  };
  std::vector<Thing> allTaken;
  std::vector<int> allNames;
  for (int n = 1; n <= 100; ++n) {
    allTaken.push_back({n, theirs, n == 2 ? Link : File});
    allNames.push_back(n);
  }
  const Row rows[] = {
      {"no bytes", {{1, ""}}, {}, 1},
      {"a part of the image", {{1, part}}, {}, 1},
      {"the whole image", {{1, image}}, {}, 1},
      {"three leftovers", {{1, image}, {2, ""}, {3, part}}, {}, 1},
      {"other bytes between leftovers", {{1, part}, {2, theirs}, {3, ""}}, {2}, 1},
      {"other bytes", {{1, theirs}}, {1}, 2},
      {"the image with its last byte changed", {{1, changedAtTheEnd}}, {1}, 2},
      {"one byte more than the image", {{1, image + "x"}}, {1}, 2},
      {"a folder", {{1, "", Folder}}, {1}, 2},
      {"a link to a part of the image", {{1, part, Link}}, {1}, 2},
      {"a part another program writes", {{1, part, Written}}, {1}, 2},
      {"a part this user may not open", {{1, part, Denied}}, {1}, 2},
      {"a read-only part", {{1, part, File, kFileAttributeReadonly}}, {1}, 2},
      {"a hidden part", {{1, part, File, kFileAttributeHidden}}, {1}, 2},
      {"a system part", {{1, part, File, kFileAttributeSystem}}, {1}, 2},
      {"a part behind a reparse point", {{1, part, File, kFileAttributeReparsePoint}}, {1}, 2},
      {"the first name free", {{2, part}}, {2}, 1},
      {"a leftover past the first free name", {{1, part}, {3, part}}, {3}, 1},
      {"an open that fails", {{1, part}}, {1}, 2, fake::Op::FileOpenEntry},
      {"attributes that cannot be read", {{1, part}}, {1}, 2, fake::Op::FileAttributesAndLength},
      {"a read that fails", {{1, part}}, {1}, 2, fake::Op::FileRead},
      {"a removal the system refuses", {{1, part}}, {1}, 2, fake::Op::DeleteFile},
      {"other bytes and a link", {{1, theirs}, {2, theirs, Link}}, {1, 2}, 3},
      {"a name a removed file still holds", {{1, "", Pending}}, {}, 2},
      {"a name freed between the refusal and the look", {{1, "", Freed}}, {}, 1},
      {"a leftover removed while a scanner holds it", {{1, part, Held}}, {}, 2},
      {"every name taken", allTaken, allNames, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    for (const Thing& thing : row.planted) {
      std::string at = name(thing.name);
      if (thing.kind == Folder) {
        fake::MakeFolder(at);
      } else if (thing.kind == Pending) {
        fake::SetDeletePending(at);
      } else if (thing.kind == Freed) {
        fake::SetDeletePendingUntilLookedAt(at);
      } else if (thing.kind == Link) {
        fake::WriteFile(kOutside, thing.bytes);
        ASSERT_EQ(symlink(fake::HostPath(kOutside).c_str(), fake::HostPath(at).c_str()), 0);
      } else {
        fake::WriteFile(at, thing.bytes);
        fake::SetAttributes(at, thing.attributes);
      }
      if (thing.kind == Held) {
        fake::SetHeldForDeletion(at);
      } else if (thing.kind == Written) {
        fake::SetBeingWritten(at);
      } else if (thing.kind == Denied) {
        fake::SetAccessDenied(at);
      }
    }
    if (row.failing != fake::Op::Count) {
      fake::FailCall(row.failing, 1);
    }

    EXPECT_EQ(WriteImage(kScripts, ScriptsImage, ScriptsImageSize, &patienceMs_), row.used != 0);

    EXPECT_TRUE(fake::ReadFile(kScripts) == (row.used != 0 ? image : kOldScripts));
    std::vector<std::string> expected = {"Scripts.zmdata"};
    for (const Thing& thing : row.planted) {
      std::string at = name(thing.name);
      if (std::count(row.kept.begin(), row.kept.end(), thing.name) == 0) {
        continue;
      }
      expected.push_back(at.substr(at.rfind('\\') + 1));
      if (thing.kind == Folder) {
        EXPECT_TRUE(std::filesystem::is_directory(fake::HostPath(at))) << at;
      } else if (thing.kind == Link) {
        EXPECT_TRUE(std::filesystem::is_symlink(fake::HostPath(at))) << at;
        EXPECT_TRUE(fake::ReadFile(kOutside) == thing.bytes) << at;
      } else {
        EXPECT_TRUE(fake::ReadFile(at) == thing.bytes) << at;
      }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fake::ListFolder(kScriptsFolder), expected);
    std::vector<std::string> moved;
    for (const fake::Move& move : fake::Get().moves) {
      moved.push_back(move.from);
    }
    EXPECT_EQ(moved, row.used != 0 ? std::vector<std::string>{name(row.used)}
                                   : std::vector<std::string>{});
    EXPECT_EQ(fake::Get().openStreams, 0);
  }
}

TEST_F(Replacement, AFolderInTheFilesPlaceIsNotReplaced) {
  fake::Reset();
  fake::WriteFile(kScripts, kOldScripts);
  fake::MakeFolder(kExe);
  ApplyUpdate(kExe, kScripts);
  ExpectBox(kExeWriteFailed);
  EXPECT_TRUE(std::filesystem::is_directory(fake::HostPath(kExe)));
}

TEST_F(Replacement, AMissingFileIsCreatedAsAPlainOpenWouldCreateIt) {
  fake::Reset();
  fake::MakeFolder(kScriptsFolder);
  EXPECT_TRUE(WriteImage(kScripts, ScriptsImage, ScriptsImageSize, &patienceMs_));
  EXPECT_EQ(fake::ReadFile(kScripts), NewScripts());
}

// A real full disk: the installation on a small tmpfs, mapped as drive F:.
TEST_F(Replacement, FullDiskWhileWritingTheExecutable) {
  char folder[] = "/tmp/zemlo-full-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  if (mount("tmpfs", folder, "tmpfs", 0, "size=256k") != 0) {
    rmdir(folder);
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << strerror(errno);
  }
  fake::Reset();
  fake::MapDrive('F', folder);
  const std::string oldExe(100 * 1024, 'o');
  fake::WriteFile("F:\\ZEMLO\\ZEMLO.exe", oldExe);
  fake::WriteFile("F:\\ZEMLO\\System\\Data\\Scripts.zmdata", kOldScripts);

  ApplyUpdate("F:\\ZEMLO\\ZEMLO.exe", "F:\\ZEMLO\\System\\Data\\Scripts.zmdata");

  ExpectBox(kExeWriteFailed);
  EXPECT_EQ(fake::ReadFile("F:\\ZEMLO\\ZEMLO.exe"), oldExe);
  EXPECT_EQ(fake::ReadFile("F:\\ZEMLO\\System\\Data\\Scripts.zmdata"), NewScripts());
  EXPECT_EQ(fake::ListFolder("F:\\ZEMLO"), (std::vector<std::string>{"System", "ZEMLO.exe"}));
  EXPECT_TRUE(fake::Get().stamps.empty());
  umount(folder);
  rmdir(folder);
}

}  // namespace
