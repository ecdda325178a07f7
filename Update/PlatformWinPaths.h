// The Windows seam's rule for the form a path takes, shared with the seam's own
// test program. Not part of the seam: the logic never sees UTF-16.
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
