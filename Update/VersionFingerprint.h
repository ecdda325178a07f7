// Identifies the installed release by a 32-bit word sum of the editor executable.
#pragma once

#include <cstdint>
#include <cstdio>

#include "UpdateShared.h"

// Sums the stream from its current position to its end as 16-bit little-endian
// words (a last odd byte is a word with a zero high byte), modulo 2^32. A read
// error ends the sum like the end of the file. The stream stays open.
uint32_t ComputeWordSum(FILE* stream);

VersionClass ClassifyExe(uint32_t sum);
