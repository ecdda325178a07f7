// A scriptable stand-in for the platform seam, linked into the native tests.
//
// Tests set up the registry value, the shell's answer, files (kept in a private
// temporary folder, Windows paths mapped into it) and the answers to message
// boxes; the stand-in records every box and every stream opened, and can make
// the N-th call of any operation fail. It emulates the Windows behaviour the
// updater relies on: folders cannot be opened as streams, and read-only, hidden
// or system files refuse to be opened for writing even when running as root, and
// a file created new is opened by nobody else until it is closed, though it can
// be moved or removed meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Platform.h"

namespace fake {

enum class Op {
  RegOpenKey,
  RegQueryValue,
  RegCloseKey,
  RegOpenUserKey,
  SpecialFolderLocation,
  PathFromIdList,
  IlFree,
  GetFileAttributes,
  GetDriveType,
  ShowMessage,
  FileOpen,
  FileCreateNew,
  FileOpenEntry,
  FileAttributesAndLength,
  FileRead,
  FileWrite,
  FileFlushToDisk,
  FileClose,
  MoveFileEx,
  DeleteFile,
  SystemTimeToFileTime,
  LocalFileTimeToFileTime,
  CreateFile,
  SetFileTime,
  CloseHandle,
  Count
};

const char* OpName(Op op);

struct Box {
  std::string text;
  std::string caption;
  MessageKind kind = 0;
  void* owner = nullptr;
};

struct StreamOpen {
  std::string path;  // the Windows path the logic asked for
  std::string mode;  // "wbx" for a file created new
};

struct Registry {
  bool keyPresent = false;
  long queryResult = kErrorSuccess;  // forced result of the query, when not success
  uint32_t type = kRegSz;
  std::string data;  // the value's bytes exactly as the query returns them

  // Recorded.
  int opens = 0;
  int closes = 0;
  int keysOpen = 0;
  std::string openedSubkey;
  uint32_t openedOptions = 0;
  uint32_t openedAccess = 0;
  std::string queriedName;
  uint32_t offeredBytes = 0;
};

struct Shell {
  bool locationSucceeds = true;
  bool conversionSucceeds = true;
  std::string programFiles = "C:\\Program Files";

  // Recorded.
  int locationCalls = 0;
  int csidl = -1;
  void* owner = reinterpret_cast<void*>(1);
  int listsOutstanding = 0;
  int listsFreed = 0;
};

struct Move {
  std::string from;
  std::string to;
  uint32_t flags = 0;
};

struct TimesOpen {
  std::string path;
  uint32_t access = 0;
  uint32_t share = 0;
  uint32_t disposition = 0;
  uint32_t flags = 0;
};

struct Stamp {
  FileTime creation = 0;
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
};

struct State {
  Registry registry;
  // Keys under HKEY_CURRENT_USER by subkey ("Network\\M"), each with one value.
  std::map<std::string, Registry> userKeys;
  Shell shell;
  std::vector<int> answers;    // given to the boxes in order; then IDOK, or IDNO for Yes/No
  int localOffsetMinutes = 0;  // local time minus UTC, as the machine has it now
  size_t readBlockLimit = 0;   // when not 0, a read returns at most this many bytes

  // Recorded.
  std::vector<Box> boxes;
  std::vector<StreamOpen> streamOpens;
  int openStreams = 0;
  std::vector<Move> moves;
  std::vector<TimesOpen> timesOpens;
  int openHandles = 0;
  std::map<std::string, Stamp> stamps;  // by Windows path
  std::vector<int> pauses;              // asked for, in milliseconds; never slept

  // Runs once, in place of the next pause: what another program does meanwhile.
  std::function<void()> duringNextPause;
};

State& Get();

// Starts a test afresh: empty registry and file system, default shell, no faults.
void Reset();

// Sets the registry value to a REG_SZ command with its terminating NUL.
void SetCommand(const std::string& command);

// Files under Windows paths.
std::string HostPath(const std::string& windowsPath);
void WriteFile(const std::string& windowsPath, const std::string& bytes);
std::string ReadFile(const std::string& windowsPath);
void MakeFolder(const std::string& windowsPath);
// Windows attributes (read-only, hidden, system) the stand-in honours on open.
void SetAttributes(const std::string& windowsPath, uint32_t attributes);
// A file another program holds open as a running editor holds its executable: it
// reads, but opening it for writing is a sharing violation and replacing it is
// denied.
void SetInUse(const std::string& windowsPath);
// A file another program is writing: only an open that shares writing gets it.
void SetBeingWritten(const std::string& windowsPath);
// A file whose access control list denies this user: it cannot be opened at all.
void SetAccessDenied(const std::string& windowsPath);
// Puts drive `letter` on a host folder (a small file system, say).
void MapDrive(char letter, const std::string& hostFolder);
// Drive `letter` does not exist for this process, as an elevated one lacks the
// letters its user mapped: nothing on it exists.
void HideDrive(char letter);
// The user's persistent mapping of drive `letter`: HKEY_CURRENT_USER\Network\<letter>
// with a REG_SZ RemotePath.
void SetDriveMapping(char letter, const std::string& remotePath);
// A name still held by a removed file that another program has open ("delete
// pending"): creating, opening or looking at it is refused with access denied.
void SetDeletePending(const std::string& windowsPath);
// The same, until the name's attributes are asked for: the other program lets go
// between a refused creation and the look at the name.
void SetDeletePendingUntilLookedAt(const std::string& windowsPath);
// A file that another program has open, sharing deletion: removing it leaves its
// name held by the removed file.
void SetHeldForDeletion(const std::string& windowsPath);
// The names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string& windowsPath);

// Fault injection: count calls of op from the first-th (from 1) on fail with the
// system error `error`, as OsLastError then reports it.
void Refuse(Op op, int first, int count, long error);
// The n-th call of op fails with an error no wait would cure (a device error).
void FailCall(Op op, int n);
void ClearFaults();
int Calls(Op op);

// Whether any stream was opened with a mode that writes.
bool OpenedForWriting();

}  // namespace fake
