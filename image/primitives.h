// Free-block search and name lookup on an opened image.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "image/chain.h"
#include "image/image.h"

namespace korvane {

// Whether at least `n` blocks are free. Stops at the n-th free block; false
// without reading the bitmap when n exceeds blockCount. On failure: IoError.
Status hasFreeBlocks(Image& img, uint64_t n, bool* enough);

// One read of the bitmap and one pass over the table, for a store that is
// about to write. *exists tells whether an entry below tableEnd carries
// exactly `name`. *sound whether the table and the bitmap agree as far as
// that can tell: every entry's first block is a block of the image marked
// used, and the bitmap marks at least as many blocks as the entries' sizes
// need. A power cut that kept an entry or tableEnd and lost the bits that
// go with them is not sound, and a store must not take blocks then. (A
// chain marked only in part behind leaked bits passes: finding that takes
// a read per block, a check's work.) On failure: IoError.
Status checkTable(Image& img, std::string_view name, bool* exists, bool* sound);

// Yields the free blocks of the bitmap in ascending order in one pass,
// holding one window of the bitmap at a time. It only reads.
class FreeBlockCursor {
 public:
  explicit FreeBlockCursor(Image& img) : img_(img) {}
  // The next run of consecutive free blocks after the last one returned, at
  // most `maxLen` long; an empty run when no block is left.
  Status nextRun(uint32_t maxLen, Run* run);

 private:
  Status load(uint64_t firstByte);

  Image& img_;
  std::vector<unsigned char> window_;
  uint64_t windowStart_ = 0;  // bitmap byte index of window_[0]
  uint64_t pos_ = 0;          // next block index to examine
};

}  // namespace korvane
