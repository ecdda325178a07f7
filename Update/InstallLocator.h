// Finds the installed editor executable and derives the path of its script archive.
#pragma once

#include "UpdateShared.h"

// Each lookup fills out with a path that ends in "\ZEMLO.exe", has at most
// kMaxExePathLength bytes and names an existing file or folder; otherwise it
// leaves out zero-filled. An association path on a drive letter that this process
// lacks (the user's mapped drive, in an elevated run) is looked for on the share
// that the user's persistent mapping of the letter names.
void LocateExeByRegistry(char* out, int capacity);
void LocateExeByProgramFiles(char* out, int capacity);

// The registry association first, then the default folder under Program Files.
// out has kPathCapacity bytes.
void LocateExe(char* out);

// out (kPathCapacity bytes) receives exePath with its "\ZEMLO.exe" tail replaced
// by "\System\Data\Scripts.zmdata". exePath comes from one of the lookups.
void ScriptsPathFromExePath(const char* exePath, char* out);
