#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "InstallLocator.h"
#include "TestSupport.h"

namespace {

const char kDefaultExe[] = "C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe";
// Japanese (ソ and 表 hold a backslash byte in Shift-JIS), Hangul and an accented letter.
#define kUtf8Exe "C:\\Apps\\한글 Café\\ソフト表示\\ZEMLO\\ZEMLO.exe"

// A Windows path of exactly `length` bytes ending in "\ZEMLO.exe", in folders
// short enough for the host file system.
std::string PathOfLength(size_t length) {
  const std::string tail = "\\ZEMLO.exe";
  std::string path = "C:";
  while (path.size() + tail.size() < length) {
    size_t room = length - path.size() - tail.size();
    if (room == 1) {
      path += 'e';  // one byte more on the last folder's name
      break;
    }
    size_t segment = room > 200 ? 200 : room;
    path += "\\" + std::string(segment - 1, 'd');
  }
  return path + tail;
}

class Locator : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  std::string ByRegistry() {
    char out[kPathCapacity];
    memset(out, '\x7F', sizeof out);  // a lookup must clear what it does not fill
    LocateExeByRegistry(out, kPathCapacity);
    EXPECT_EQ(memchr(out, '\x7F', sizeof out), nullptr);
    return out;
  }

  std::string ByProgramFiles() {
    char out[kPathCapacity];
    memset(out, '\x7F', sizeof out);
    LocateExeByProgramFiles(out, kPathCapacity);
    EXPECT_EQ(memchr(out, '\x7F', sizeof out), nullptr);
    return out;
  }

  std::string Locate() {
    char out[kPathCapacity];
    memset(out, '\x7F', sizeof out);
    LocateExe(out);
    return out;
  }
};

TEST_F(Locator, RegistryCutsTheOpenCommand) {
  struct Case {
    const char* command;
    const char* file;  // created before the lookup
    const char* expected;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", kDefaultExe, kDefaultExe},
      {"D:\\Tools\\ZEMLO\\ZEMLO.exe \"%1\"", "D:\\Tools\\ZEMLO\\ZEMLO.exe",
       "D:\\Tools\\ZEMLO\\ZEMLO.exe"},
      {"D:\\Tools\\ZEMLO\\ZEMLO.exe", "D:\\Tools\\ZEMLO\\ZEMLO.exe", ""},  // no suffix
      {"D:\\Tools\\ZEMLO\\ZEMLO.exe %1", "D:\\Tools\\ZEMLO\\ZEMLO.exe", ""},
      {"\"C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe \"%1\"", kDefaultExe, ""},  // no closing
      {"\"C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe", kDefaultExe, ""},
      {"\"C:\\Apps\\Other.exe\" \"%1\"", "C:\\Apps\\Other.exe", ""},  // another program
      {"\"C:\\Apps\\NotZEMLO.exe\" \"%1\"", "C:\\Apps\\NotZEMLO.exe", ""},
      {"\"D:\\Z\\zemlo.EXE\" \"%1\"", "D:\\Z\\zemlo.EXE", "D:\\Z\\zemlo.EXE"},  // ASCII case
      {"\"\\ZEMLO.exe\" \"%1\"", "\\ZEMLO.exe", "\\ZEMLO.exe"},                 // exactly the tail
      {"\"ZEMLO.exe\" \"%1\"", "ZEMLO.exe", ""},  // shorter than the tail
      {"\"\" \"%1\"", nullptr, ""},
      {"", nullptr, ""},
      {"\"C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", nullptr, ""},  // file gone
      {"C:\\Program Files\\Kestramoor\\ZEMLO\\ZEMLO.exe \"%1\" \"%1\"", kDefaultExe, kDefaultExe},
      // UTF-8 folder names: no byte of them is a quote or a backslash.
      {"\"" kUtf8Exe "\" \"%1\"", kUtf8Exe, kUtf8Exe},
      {kUtf8Exe " \"%1\"", kUtf8Exe, kUtf8Exe},
  };
  for (const Case& c : cases) {
    fake::Reset();
    fake::SetCommand(c.command);
    if (c.file != nullptr) {
      fake::WriteFile(c.file, "MZ");
    }
    EXPECT_EQ(ByRegistry(), c.expected) << "command: " << c.command;
    EXPECT_EQ(fake::Get().registry.closes, 1) << "command: " << c.command;
  }
}

TEST_F(Locator, RegistryAsksForTheDefaultValueOfTheCommandKeyWithReadAccess) {
  fake::SetCommand(std::string("\"") + kDefaultExe + "\" \"%1\"");
  fake::WriteFile(kDefaultExe, "MZ");
  ByRegistry();
  const fake::Registry& registry = fake::Get().registry;
  EXPECT_EQ(registry.openedSubkey, "ZEMLO.Project\\shell\\open\\command");
  EXPECT_EQ(registry.openedOptions, 0u);
  EXPECT_EQ(registry.openedAccess, 0x20019u);
  EXPECT_EQ(registry.queriedName, "");
  EXPECT_EQ(registry.offeredBytes, 1000u);
}

TEST_F(Locator, RegistryRefusesValuesThatAreNotAPlainStringAndClosesTheKey) {
  fake::WriteFile(kDefaultExe, "MZ");
  const std::string command = std::string("\"") + kDefaultExe + "\" \"%1\"";

  fake::SetCommand(command);
  fake::Get().registry.type = kRegExpandSz;
  EXPECT_EQ(ByRegistry(), "");
  EXPECT_EQ(fake::Get().registry.closes, 1);

  fake::Get().registry.type = kRegSz;
  fake::Get().registry.queryResult = 2;  // the value does not exist
  EXPECT_EQ(ByRegistry(), "");
  EXPECT_EQ(fake::Get().registry.closes, 2);

  fake::Get().registry.keyPresent = false;
  EXPECT_EQ(ByRegistry(), "");
  EXPECT_EQ(fake::Get().registry.closes, 2);  // nothing opened, nothing to close
}

TEST_F(Locator, RegistryValueMustEndInsideTheThousandByteBuffer) {
  const std::string command = std::string("\"") + kDefaultExe + "\" \"%1\" ";
  fake::WriteFile(kDefaultExe, "MZ");

  // 999 bytes and the terminator fill the buffer exactly: accepted.
  fake::SetCommand(command + std::string(999 - command.size(), 'p'));
  ASSERT_EQ(fake::Get().registry.data.size(), 1000u);
  EXPECT_EQ(ByRegistry(), kDefaultExe);

  // 1000 bytes with no terminator inside the buffer: refused, never read past it.
  fake::Get().registry.data = command + std::string(1000 - command.size(), 'p');
  EXPECT_EQ(ByRegistry(), "");

  // Longer than the buffer: the query itself fails.
  fake::SetCommand(command + std::string(1000 - command.size(), 'p'));
  EXPECT_EQ(ByRegistry(), "");
  EXPECT_EQ(fake::Get().registry.closes, 3);
}

TEST_F(Locator, ExecutablePathIsLimitedSoItsScriptArchivePathFits) {
  for (size_t length : {981u, 982u, 983u, 998u}) {
    for (bool japanese : {false, true}) {
      fake::Reset();
      // Bytes are counted, not characters: a three-byte character last.
      std::string path = PathOfLength(japanese ? length - 3 : length);
      if (japanese) {
        path.insert(path.size() - strlen("\\ZEMLO.exe"), "表");
      }
      ASSERT_EQ(path.size(), length);
      fake::WriteFile(path, "MZ");
      fake::SetCommand("\"" + path + "\" \"%1\"");
      EXPECT_EQ(ByRegistry(), length <= 982 ? path : "") << "length " << length;
    }
  }
}

TEST_F(Locator, RefusedRegistryResultFallsBackToProgramFiles) {
  fake::WriteFile(kDefaultExe, "MZ");
  std::string tooLong = PathOfLength(983);
  fake::WriteFile(tooLong, "MZ");
  const std::string refusedCommands[] = {
      "\"" + tooLong + "\" \"%1\"",
      "\"C:\\Apps\\Other.exe\" \"%1\"",
      "\"D:\\Gone\\ZEMLO.exe\" \"%1\"",
  };
  for (const std::string& command : refusedCommands) {
    fake::Get().shell = fake::Shell();
    fake::SetCommand(command);
    EXPECT_EQ(Locate(), kDefaultExe) << command;
    EXPECT_EQ(fake::Get().shell.locationCalls, 1);
  }

  fake::Get().shell = fake::Shell();
  fake::Get().registry.data = std::string(1000, 'q');  // unterminated
  EXPECT_EQ(Locate(), kDefaultExe);

  fake::Get().shell = fake::Shell();
  fake::Get().registry.keyPresent = false;
  EXPECT_EQ(Locate(), kDefaultExe);
}

// An elevated run lacks the drive letters its user mapped: an association path on
// such a letter is looked for on the share that the user's persistent mapping of
// the letter names, and only there: never above the mapped folder.
TEST_F(Locator, AssociationOnADriveLetterThisProcessLacks) {
  const std::string onShare = "\\\\FileServer\\Apps\\Kestramoor\\ZEMLO\\ZEMLO.exe";
  // 980 bytes: it fits the registry buffer, but not with the path after "M:".
  std::string tooLong = "\\\\FileServer\\Apps";
  while (tooLong.size() < 980) {
    tooLong += "\\" + std::string(std::min<size_t>(199, 980 - tooLong.size() - 1), 's');
  }
  struct Row {
    const char* what;
    const char* command;
    bool hidden;             // the command's drive letter does not exist for the process
    std::string remotePath;  // "": no mapping
    uint32_t type;
    std::string file;  // what exists besides Program Files' copy
    std::string expected;
  };
  const Row rows[] = {
      {"the share", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true, "\\\\FileServer\\Apps",
       kRegSz, onShare, onShare},
      {"a lower-case letter, unquoted", "m:\\Kestramoor\\ZEMLO\\ZEMLO.exe \"%1\"", true,
       "\\\\FileServer\\Apps", kRegSz, onShare, onShare},
      {"a folder on the share", "\"M:\\ZEMLO\\ZEMLO.exe\" \"%1\"", true, "\\\\FS\\Apps\\Kestramoor",
       kRegSz, "\\\\FS\\Apps\\Kestramoor\\ZEMLO\\ZEMLO.exe",
       "\\\\FS\\Apps\\Kestramoor\\ZEMLO\\ZEMLO.exe"},
      {"no mapping", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true, "", kRegSz, onShare,
       kDefaultExe},
      {"nothing there on the share", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer\\Apps", kRegSz, "", kDefaultExe},
      {"a share path too long for the buffer", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       tooLong, kRegSz, tooLong + "\\Kestramoor\\ZEMLO\\ZEMLO.exe", kDefaultExe},
      {"an expandable string", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer\\Apps", kRegExpandSz, onShare, kDefaultExe},
      {"a server without a share", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer", kRegSz, "\\\\FileServer\\Kestramoor\\ZEMLO\\ZEMLO.exe", kDefaultExe},
      {"a device path", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true, "\\\\?\\C:\\Tools",
       kRegSz, "\\\\?\\C:\\Tools\\Kestramoor\\ZEMLO\\ZEMLO.exe", kDefaultExe},
      {"a way out of the share", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer\\Apps\\..", kRegSz, "\\\\FileServer\\Apps\\..\\Kestramoor\\ZEMLO\\ZEMLO.exe",
       kDefaultExe},
      {"a dot after a mapped folder", "\"M:\\.\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FS\\Apps\\Kestramoor", kRegSz, "\\\\FS\\Apps\\Kestramoor\\ZEMLO\\ZEMLO.exe",
       kDefaultExe},
      {"a climb out of a mapped folder", "\"M:\\..\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FS\\Apps\\Kestramoor", kRegSz, "\\\\FS\\Apps\\Kestramoor\\..\\ZEMLO\\ZEMLO.exe",
       kDefaultExe},
      {"a climb written with forward slashes", "\"M:\\Tools/../../ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FS\\Apps\\Kestramoor", kRegSz, "\\\\FS\\Apps\\Kestramoor\\Tools/../../ZEMLO\\ZEMLO.exe",
       kDefaultExe},
      {"a name of three dots", "\"M:\\...\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FS\\Apps\\Kestramoor", kRegSz, "\\\\FS\\Apps\\Kestramoor\\...\\ZEMLO\\ZEMLO.exe",
       kDefaultExe},
      // No tool of Windows stores one: the connection it remembers refuses it.
      {"a share path ending in a backslash", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer\\Apps\\", kRegSz, onShare, kDefaultExe},
      {"the last letter", "\"Z:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", true,
       "\\\\FileServer\\Apps", kRegSz, onShare, onShare},
      {"a visible letter", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", false,
       "\\\\FileServer\\Apps", kRegSz, "M:\\Kestramoor\\ZEMLO\\ZEMLO.exe",
       "M:\\Kestramoor\\ZEMLO\\ZEMLO.exe"},
      {"a visible letter without the file", "\"M:\\Kestramoor\\ZEMLO\\ZEMLO.exe\" \"%1\"", false,
       "\\\\FileServer\\Apps", kRegSz, onShare, kDefaultExe},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake::Reset();
    fake::WriteFile(kDefaultExe, "MZ");
    fake::SetCommand(row.command);
    if (!row.file.empty()) {
      fake::WriteFile(row.file, "MZ");
    }
    const char letter = static_cast<char>(toupper(row.command[row.command[0] == '"' ? 1 : 0]));
    const std::string mappingKey = std::string("Network\\") + letter;
    if (row.hidden) {
      fake::HideDrive(letter);
    }
    if (!row.remotePath.empty()) {
      fake::SetDriveMapping(letter, row.remotePath);
      fake::Get().userKeys[mappingKey].type = row.type;
    }
    EXPECT_EQ(Locate(), row.expected);
    const fake::Registry& mapping = fake::Get().userKeys[mappingKey];
    EXPECT_EQ(mapping.opens, row.hidden ? 1 : 0) << "the mapping is read only for a missing letter";
    EXPECT_EQ(mapping.keysOpen, 0);
    if (row.hidden && !row.remotePath.empty()) {
      EXPECT_EQ(mapping.queriedName, "RemotePath");
      EXPECT_EQ(mapping.openedAccess, 0x20019u);
    }
  }
}

TEST_F(Locator, RegistryResultWinsWithoutAskingTheShell) {
  fake::WriteFile(kDefaultExe, "MZ");
  fake::WriteFile("D:\\Tools\\ZEMLO\\ZEMLO.exe", "MZ");
  fake::SetCommand("D:\\Tools\\ZEMLO\\ZEMLO.exe \"%1\"");
  EXPECT_EQ(Locate(), "D:\\Tools\\ZEMLO\\ZEMLO.exe");
  EXPECT_EQ(fake::Get().shell.locationCalls, 0);
}

TEST_F(Locator, ProgramFilesLookup) {
  EXPECT_EQ(ByProgramFiles(), "");  // nothing installed there
  EXPECT_EQ(fake::Get().shell.csidl, 38);
  EXPECT_EQ(fake::Get().shell.owner, nullptr);

  fake::WriteFile(kDefaultExe, "MZ");
  EXPECT_EQ(ByProgramFiles(), kDefaultExe);

  fake::Get().shell.programFiles = "E:\\Programs";
  fake::WriteFile("E:\\Programs\\Kestramoor\\ZEMLO\\ZEMLO.exe", "MZ");
  EXPECT_EQ(ByProgramFiles(), "E:\\Programs\\Kestramoor\\ZEMLO\\ZEMLO.exe");

  // A folder of that name counts as found: reading it fails later, visibly.
  fake::Reset();
  fake::MakeFolder(kDefaultExe);
  EXPECT_EQ(ByProgramFiles(), kDefaultExe);
}

TEST_F(Locator, ProgramFilesFailuresLeaveNothingAndFreeTheItemList) {
  fake::WriteFile(kDefaultExe, "MZ");

  fake::Get().shell.locationSucceeds = false;
  EXPECT_EQ(ByProgramFiles(), "");
  EXPECT_EQ(fake::Get().shell.listsFreed, 0);

  fake::Get().shell = fake::Shell();
  fake::Get().shell.conversionSucceeds = false;
  EXPECT_EQ(ByProgramFiles(), "");
  EXPECT_EQ(fake::Get().shell.listsOutstanding, 0);

  fake::Get().shell = fake::Shell();
  EXPECT_EQ(ByProgramFiles(), kDefaultExe);
  EXPECT_EQ(fake::Get().shell.listsOutstanding, 0);
  EXPECT_EQ(fake::Get().shell.listsFreed, 1);
}

TEST_F(Locator, NothingFoundAnywhereLeavesTheBufferEmpty) {
  char out[kPathCapacity];
  memset(out, '\x7F', sizeof out);
  LocateExe(out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(memchr(out, '\x7F', sizeof out), nullptr);
}

TEST(ScriptsPath, ReplacesTheExecutableTailWithTheScriptArchiveTail) {
  char out[kPathCapacity];
  ScriptsPathFromExePath(kDefaultExe, out);
  EXPECT_STREQ(out, "C:\\Program Files\\Kestramoor\\ZEMLO\\System\\Data\\Scripts.zmdata");

  ScriptsPathFromExePath("D:\\Z\\zemlo.EXE", out);
  EXPECT_STREQ(out, "D:\\Z\\System\\Data\\Scripts.zmdata");

  ScriptsPathFromExePath(kUtf8Exe, out);
  EXPECT_STREQ(out, "C:\\Apps\\한글 Café\\ソフト表示\\ZEMLO\\System\\Data\\Scripts.zmdata");

  std::string longest = PathOfLength(982);
  ScriptsPathFromExePath(longest.c_str(), out);
  EXPECT_EQ(strlen(out), 999u);
  EXPECT_EQ(std::string(out), longest.substr(0, 972) + "\\System\\Data\\Scripts.zmdata");
}

}  // namespace
