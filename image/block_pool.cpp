#include "image/block_pool.h"

#include <algorithm>
#include <bit>

namespace korvane {

Status BlockPool::load(Image& img) {
  blockCount_ = img.blockCount();
  bits_.assign(static_cast<size_t>(bitmapBytes(blockCount_)), 0);
  if (Status s = readExact(img.file(), HeaderSize, bits_.data(), bits_.size()); !s.ok()) return s;
  free_ = 0;
  for (size_t i = 0; i < bits_.size(); ++i)
    free_ += static_cast<uint32_t>(std::popcount(~bits_[i] & blockBitsOf(i, blockCount_)));
  lowest_ = 0;
  return {};
}

bool BlockPool::spareBitsSet() const {
  return !bits_.empty() && (bits_.back() & ~blockBitsOf(bits_.size() - 1, blockCount_));
}

Status BlockPool::take(uint64_t count, std::vector<uint32_t>* blocks) {
  if (count == 0) return {};
  if (beforeTaking_)
    if (Status s = beforeTaking_(); !s.ok()) return s;
  if (count > free_) return Status::fail(Error::NoSpace);
  uint32_t b = lowest_;
  while (count > 0 && b < blockCount_) {
    if (bits_[bitmapByteOf(b)] == 0xFF) {
      b = (b / 8 + 1) * 8;  // a full byte: skip its eight blocks at once
      continue;
    }
    if (testBit(bits_.data(), b)) {
      ++b;
      continue;
    }
    uint32_t first = b;
    while (b < blockCount_ && b - first < count && !testBit(bits_.data(), b)) ++b;
    for (uint32_t k = first; k < b; ++k) {
      setBit(bits_.data(), k);
      blocks->push_back(k);
    }
    free_ -= b - first;
    count -= b - first;
    lowest_ = b;
  }
  return count == 0 ? Status{} : Status::fail(Error::Damaged);
}

void BlockPool::giveBack(const std::vector<uint32_t>& blocks) {
  for (uint32_t b : blocks) {
    clearBit(bits_.data(), b);
    lowest_ = std::min(lowest_, b);
  }
  free_ += static_cast<uint32_t>(blocks.size());
}

}  // namespace korvane
