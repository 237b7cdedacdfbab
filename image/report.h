// What the status report and the listing read from an image.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image/env.h"
#include "image/image.h"
#include "image/layout.h"

namespace korvane {

struct StatReport {
  uint32_t blockCount = 0;
  uint32_t usedBlocks = 0;
  std::vector<unsigned char> bitmap;  // bitmapBytes(blockCount) bytes
};
// Reads the header and the whole bitmap (at most 130 kB in a sound image).
Status statImage(Env& env, const char* path, StatReport* out);

// Once the image is open and sound, calls `start`, then `row` for each used
// table entry in slot order. Locked when another run changes it for longer
// than `waitMs`.
Status listImage(Env& env, const char* path, const std::function<void()>& start,
                 const std::function<void(const FileEntry&)>& row, int waitMs = LockWaitMs);

}  // namespace korvane
