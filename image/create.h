// Making a new, empty disk image, and removing one.
#pragma once

#include <cstdint>

#include "image/env.h"
#include "image/image.h"
#include "image/layout.h"

namespace korvane {

// The figures of an image just made.
struct Geometry {
  uint32_t blockCount = 0;
  uint32_t dataOffset = 0;
  uint32_t imageBytes = 0;
};

// Creates (or replaces) `path` as an empty image for `diskSizeKb` kB.
// TooLarge, before anything is opened, when the image would not fit the
// format. On a failure after opening, the partial file is removed when it
// is a regular file, so no image whose header disagrees with its length is
// ever left behind.
Status makeImage(Env& env, const char* path, uint32_t diskSizeKb, Geometry* out);

// Removes the image file `path` once no other run or mount uses it: its
// exclusive lock is taken first, waiting at most `waitMs` (Locked after
// that). What is not a regular file is refused (OpenFailed); a link is
// removed itself, its target stays. A file that cannot be opened to be
// locked is removed all the same, when the host allows it.
Status removeImage(Env& env, const char* path, int waitMs = LockWaitMs);

}  // namespace korvane
