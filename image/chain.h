// Giving a chain's blocks back to the free pool.
#pragma once

#include "image/image.h"

namespace korvane {

// Walks `count` blocks of a chain from `first`, reading each link before its
// block is touched, and zeroes each run of consecutive blocks before clearing
// their bits: a crash in between leaves used blocks that hold zeros, never a
// free block that another file could be handed while still linked.
// Damaged when a link leaves the image before `count` blocks.
Status releaseChain(Image& img, uint32_t first, uint32_t count);

// Zeroes blocks [start, start + len), then clears their bits. On failure:
// IoError, with the blocks still marked used.
Status releaseRun(Image& img, uint32_t start, uint32_t len);

}  // namespace korvane
