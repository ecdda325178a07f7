// Identifies the installed release by a 32-bit word sum of the editor executable.
#pragma once

#include <cstdint>
#include <cstdio>

#include "UpdateShared.h"

// Sums the stream from its current position to its end as 16-bit little-endian
// words (a last odd byte is a word with a zero high byte), modulo 2^32. A read
// error ends the sum like the end of the file. The stream stays open.
uint32_t ComputeWordSum(FILE* stream);

// Outdated for the sum of any earlier release the updater was built for, Current
// for that of the release it installs, Unrecognised for any other.
VersionClass ClassifyExe(uint32_t sum);

// The same among the releases given.
VersionClass ClassifySum(uint32_t sum, const uint32_t* outdated, size_t outdatedCount,
                         uint32_t current);
