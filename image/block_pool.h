// The free blocks of an image, held in memory by a run that takes blocks:
// the one allocator, for korvane -w and the mount alike.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image/image.h"

namespace korvane {

class BlockPool {
 public:
  // Reads the bitmap: one read, an eighth of a byte per block. On failure:
  // IoError.
  Status load(Image& img);

  // Called before any block is taken, as a caller's chance to free blocks
  // that are due first; its failure fails the take.
  void beforeTaking(std::function<Status()> hook) { beforeTaking_ = std::move(hook); }

  // Takes the lowest free blocks, in ascending order, marking them used here
  // only: the image marks them in the commit that names them, so a crash
  // before leaves free blocks holding bytes, which a check zeroes. NoSpace
  // when fewer are free, and nothing is taken.
  Status take(uint64_t count, std::vector<uint32_t>* blocks);
  // Blocks free again: never marked in the image, or freed by a commit.
  void giveBack(const std::vector<uint32_t>& blocks);
  // Blocks that could not be zeroed: never taken again, for a check to
  // mend.
  void leak(uint64_t count) { leaked_ += count; }

  bool used(uint32_t block) const { return testBit(bits_.data(), block); }
  uint32_t freeBlocks() const { return free_; }
  uint64_t leaked() const { return leaked_; }
  // Whether a bit past the last block is set: a damaged bitmap.
  bool spareBitsSet() const;

 private:
  uint32_t blockCount_ = 0;
  std::vector<unsigned char> bits_;  // as in the image, but for blocks taken since
  uint32_t free_ = 0;
  uint32_t lowest_ = 0;  // no block below it is free
  uint64_t leaked_ = 0;
  std::function<Status()> beforeTaking_;
};

}  // namespace korvane
