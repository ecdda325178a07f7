// What every unit of the updater shares: the path buffer, the version classes,
// the fixed names and values of the installation, and the message table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform.h"

// Whole files are read in blocks of this many bytes, into a buffer on the stack,
// and the images written in blocks of the same size.
constexpr size_t kFileBlockSize = size_t{64} * 1024;

// A path buffer holds a NUL-terminated UTF-8 path; it is empty when its first byte
// is 0. Every byte the logic looks for (quote, backslash, the ASCII names) is
// ASCII, and in UTF-8 an ASCII byte is never part of another character. It holds
// as many bytes as the registry value that a path is cut from.
constexpr int kPathCapacity = static_cast<int>(kRegValueCapacity);

// Under HKEY_CLASSES_ROOT; the suffix ends an unquoted open command.
inline constexpr char kCommandKey[] = "ZEMLO.Project\\shell\\open\\command";
inline constexpr char kCommandSuffix[] = " \"%1\"";
// Under HKEY_CURRENT_USER: a drive letter's persistent mapping, "Network\<letter>",
// whose value names the share, "\\server\share".
inline constexpr char kNetworkKey[] = "Network\\";
inline constexpr char kRemotePathValue[] = "RemotePath";
// Compared without regard to ASCII case; appended to the Program Files folder;
// written in place of the executable tail.
inline constexpr char kExeTail[] = "\\ZEMLO.exe";
inline constexpr char kProgramFilesTail[] = "\\Kestramoor\\ZEMLO\\ZEMLO.exe";
inline constexpr char kScriptsTail[] = "\\System\\Data\\Scripts.zmdata";

// "...\ZEMLO.exe" becomes "...\System\Data\Scripts.zmdata": 17 bytes longer, so an
// executable path may have at most 982 bytes of UTF-8 for its script archive path
// to fit: 982 ASCII characters, or about 327 Japanese ones.
constexpr int kExeTailLength = 10;
constexpr int kScriptsPathGrowth = 17;
constexpr int kMaxExePathLength = kPathCapacity - 1 - kScriptsPathGrowth;
static_assert(kExeTailLength == sizeof kExeTail - 1, "kExeTailLength counts kExeTail");
static_assert(kScriptsPathGrowth == sizeof kScriptsTail - sizeof kExeTail,
              "kScriptsPathGrowth is what kScriptsTail adds to a path in place of kExeTail");

enum VersionClass : uint8_t { Outdated, Current, Unrecognised };

// Release fingerprints: that of the release the updater installs, and those of
// every earlier release it updates from. The build computes them from the
// release files; these are the stand-in release's and the first earlier one's.
#ifndef ZEMLO_PROGRAM_SUM_CURRENT
#define ZEMLO_PROGRAM_SUM_CURRENT 0x4A8ACBE4u
#endif
#ifndef ZEMLO_PROGRAM_SUMS_OUTDATED
#define ZEMLO_PROGRAM_SUMS_OUTDATED 0x1F73A4F0u
#endif
constexpr uint32_t kSumCurrent = ZEMLO_PROGRAM_SUM_CURRENT;
constexpr uint32_t kSumsOutdated[] = {ZEMLO_PROGRAM_SUMS_OUTDATED};
constexpr size_t kOutdatedReleases = sizeof kSumsOutdated / sizeof kSumsOutdated[0];
// The first of them, as the release files listed it.
constexpr uint32_t kSumOutdated = kSumsOutdated[0];

constexpr bool IsAmong(uint32_t sum, const uint32_t* sums, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (sums[i] == sum) {
      return true;
    }
  }
  return false;
}
static_assert(!IsAmong(kSumCurrent, kSumsOutdated, kOutdatedReleases),
              "the new release's sum is an earlier one's too: an updated editor would be offered "
              "the update forever");

// One row of the message table: Shift-JIS (code page 932) text and box kind.
struct Message {
  const char* text;
  MessageKind kind;
};

extern const char kCaption[];

extern const Message MsgNotInstalled;
extern const Message MsgExeReadFailed;
extern const Message MsgScriptsReadFailed;
extern const Message MsgConfirmUpdate;
extern const Message MsgScriptsWriteFailed;
extern const Message MsgExeWriteFailed;
extern const Message MsgUpdateDone;
extern const Message MsgAlreadyUpdated;
extern const Message MsgUnrecognisedVersion;
extern const Message MsgUpdaterDamaged;

// Shows one row of the table as a modal box with no owner; returns the answer.
int Tell(const Message& message);

// The release the updater carries, as plain bytes linked in from the release files
// at build time and written out unchanged. The word sum of ExeImage is kSumCurrent.
// Beside each, the checksum the build computed of it as it embedded it: zlib's
// CRC-32, which sees every change of one byte and any other damage but for odds
// of one in four billion.
extern "C" const unsigned char ExeImage[];
extern "C" const int32_t ExeImageSize;
extern "C" const uint32_t ExeImageChecksum;
extern "C" const unsigned char ScriptsImage[];
extern "C" const int32_t ScriptsImageSize;
extern "C" const uint32_t ScriptsImageChecksum;

// An image as a run checks and writes it, read where it is linked, never copied.
struct ReleaseImage {
  const unsigned char* bytes;
  int32_t size;
  uint32_t checksum;
};

// ExeImage and ScriptsImage with their checksums: what a run checks before it asks
// and writes after a Yes. Nothing in the program changes them; the native tests
// point them at damaged copies.
extern ReleaseImage ExeRelease;
extern ReleaseImage ScriptsRelease;

// Whether the image's bytes still have the checksum the build computed of them.
bool IsIntact(const ReleaseImage& image);
