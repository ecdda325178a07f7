// What the Windows seam shares with its own test program and nobody else: the
// rule for the form a path takes, the parts of the process set-up, and the
// system calls behind the branches that no run under Wine takes, as pointers the
// test program may point elsewhere. Not part of the seam: the logic never sees
// UTF-16 or these calls.
#pragma once

#include <cstddef>

// Room for any path the updater builds, in UTF-16, with a \\?\UNC\ in front.
constexpr int kWidePathCapacity = 1100;

// From this many UTF-16 units on, a path goes in its \\?\ form: the plain form
// stops at 260 (248 for a folder), the \\?\ form at 32,767 on every Windows
// since XP, with no setting.
constexpr size_t kPlainPathLimit = 248;

// A UTF-8 path as the wide functions take it, in wide (kWidePathCapacity units).
// Paths of kPlainPathLimit units or more are made absolute and given the form
// \\?\ (\\?\UNC\ for a share), which the system takes literally; shorter ones go
// as they are, so that forward slashes and relative parts keep working. False,
// with the system's error, when the path is not UTF-8 or does not fit.
bool WidenPath(const char* path, wchar_t* wide);

// ---- The branches a run under Wine never takes ------------------------------------

// A function of a system library the process has loaded (GetProcAddress), or null
// where the running system lacks it: SetDefaultDllDirectories before Windows 8 (and
// Windows 7 without its update), GetFileInformationByHandleEx on Windows XP. Every
// Wine has both.
typedef void (*SystemProcedure)();
extern SystemProcedure (*LookUpSystemFunction)(const wchar_t* library, const char* name);

// GetTokenInformation of TokenVirtualizationEnabled for a token: nonzero on
// success. Wine never reports virtualization on.
extern int (*QueryTokenVirtualization)(void* token, unsigned long* enabled);

// Two parts of OsHardenProcess, run once each at start-up.
void LockLibrarySearch();
void TurnOffFileVirtualization();
