// Carries out a confirmed update: replaces the script archive and the editor
// executable with the images the updater carries, and time-stamps both.
#pragma once

#include <cstdint>

#include "UpdateShared.h"

// 25 January 2008, 00:00:00.000 local time.
extern const SystemTime ReleaseStamp;

// How long, in milliseconds, the refusals of one file that another program's
// brief hold can cause are waited out, over all the operations on that file.
constexpr int kPatienceMs = 2000;

// Writes the script archive, then the executable, stamps both and shows exactly
// one closing message.
void ApplyUpdate(const char* exePath, const char* scriptsPath);

// Replaces the file at path with the size bytes of image. The bytes go to a new
// temporary file of this run's own beside it first and take the old file's place
// only once they are all on disk, so a failure leaves the old file as it was.
// What already has a temporary name is never written, truncated or moved; it is
// removed only when it is a leftover of an interrupted run that holds nothing
// but the first bytes of image. Refuses what a plain open for writing would
// refuse (read-only, hidden or system files, access denied, a file in use), once
// a refusal that may be momentary has outlasted what is left of *patienceMs,
// which the pauses use up. True when the file now holds the image.
bool WriteImage(const char* path, const unsigned char* image, int32_t size, int* patienceMs);

// Gives path the creation, last-access and last-write time `local` (a local
// calendar time, converted with the machine's current offset from UTC). A
// momentary refusal of the open is waited out as in WriteImage.
bool StampFileTime(const char* path, const SystemTime& local, int* patienceMs);
