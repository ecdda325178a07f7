// What every unit of the updater shares: the path buffer, the version classes,
// the fixed names and values of the installation, and the message table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform.h"

// Whole files are read in blocks of this many bytes, into a buffer on the stack.
constexpr size_t kFileBlockSize = size_t{64} * 1024;

// A path buffer holds a NUL-terminated UTF-8 path; it is empty when its first byte
// is 0. Every byte the logic looks for (quote, backslash, the ASCII names) is
// ASCII, and in UTF-8 an ASCII byte is never part of another character.
constexpr int kPathCapacity = 1000;

// "...\ZEMLO.exe" becomes "...\System\Data\Scripts.zmdata": 17 bytes longer, so an
// executable path may have at most 982 bytes of UTF-8 for its script archive path
// to fit: 982 ASCII characters, or about 327 Japanese ones.
constexpr int kExeTailLength = 10;
constexpr int kScriptsPathGrowth = 17;
constexpr int kMaxExePathLength = kPathCapacity - 1 - kScriptsPathGrowth;

extern const char kCommandKey[];        // under HKEY_CLASSES_ROOT
extern const char kCommandSuffix[];     // ends an unquoted open command
extern const char kExeTail[];           // compared without regard to ASCII case
extern const char kProgramFilesTail[];  // appended to the Program Files folder
extern const char kScriptsTail[];       // replaces the executable tail

enum VersionClass : uint8_t { Outdated, Current, Unrecognised };

// Release fingerprints; whoever ships another release sets them at configure time.
#ifndef ZEMLO_SUM_OUTDATED
#define ZEMLO_SUM_OUTDATED 0x1F73A4F0u
#endif
#ifndef ZEMLO_SUM_CURRENT
#define ZEMLO_SUM_CURRENT 0x4A8ACBE4u
#endif
constexpr uint32_t kSumOutdated = ZEMLO_SUM_OUTDATED;
constexpr uint32_t kSumCurrent = ZEMLO_SUM_CURRENT;

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

// Shows one row of the table as a modal box with no owner; returns the answer.
int Tell(const Message& message);

// The release the updater carries, as plain bytes linked in from the release files
// at build time and written out unchanged. The word sum of ExeImage is kSumCurrent.
extern "C" const unsigned char ExeImage[];
extern "C" const int32_t ExeImageSize;
extern "C" const unsigned char ScriptsImage[];
extern "C" const int32_t ScriptsImageSize;
