#include "image/primitives.h"

#include <algorithm>
#include <bit>

namespace korvane {
namespace {

constexpr size_t WindowBytes = 64 * 1024;

}  // namespace

Status hasFreeBlocks(Image& img, uint64_t n, bool* enough) {
  *enough = false;
  uint32_t blocks = img.blockCount();
  if (n > blocks) return {};
  if (n == 0) {
    *enough = true;
    return {};
  }
  std::vector<unsigned char> window;
  uint64_t total = bitmapBytes(blocks);
  uint64_t freeCount = 0;
  for (uint64_t start = 0; start < total; start += WindowBytes) {
    window.resize(static_cast<size_t>(std::min<uint64_t>(WindowBytes, total - start)));
    if (Status s = readExact(img.file(), HeaderSize + start, window.data(), window.size());
        !s.ok())
      return s;
    for (size_t i = 0; i < window.size(); ++i) {
      // Bits that stand for no block are never counted as free.
      unsigned mask = blockBitsOf(start + i, blocks);
      freeCount += static_cast<unsigned>(std::popcount(~window[i] & mask));
    }
    if (freeCount >= n) {
      *enough = true;
      return {};
    }
  }
  return {};
}

Status checkTable(Image& img, std::string_view name, bool* exists, bool* sound) {
  *exists = false, *sound = true;
  uint32_t blocks = img.blockCount();
  std::vector<unsigned char> bitmap(static_cast<size_t>(bitmapBytes(blocks)));
  if (Status s = readExact(img.file(), HeaderSize, bitmap.data(), bitmap.size()); !s.ok())
    return s;
  uint64_t marked = 0, needed = 0;
  for (size_t i = 0; i < bitmap.size(); ++i)
    marked += static_cast<unsigned>(std::popcount(bitmap[i] & blockBitsOf(i, blocks)));
  if (Status s = img.forEachEntry([&](uint64_t, const FileEntry& e) {
        *exists = *exists || e.hasName(name);
        *sound = *sound && img.validBlock(e.firstBlock) && testBit(bitmap.data(), e.firstBlock);
        needed += blocksForFile(e.fileSize);
        return true;
      });
      !s.ok())
    return s;
  *sound = *sound && needed <= marked;
  return {};
}

Status FreeBlockCursor::load(uint64_t firstByte) {
  uint64_t total = bitmapBytes(img_.blockCount());
  window_.resize(static_cast<size_t>(std::min<uint64_t>(WindowBytes, total - firstByte)));
  windowStart_ = firstByte;
  return readExact(img_.file(), HeaderSize + firstByte, window_.data(), window_.size());
}

Status FreeBlockCursor::nextRun(uint32_t maxLen, Run* run) {
  *run = {};
  uint32_t blocks = img_.blockCount();
  while (pos_ < blocks && run->count < maxLen) {
    uint32_t block = static_cast<uint32_t>(pos_);
    uint64_t byte = bitmapByteOf(block);
    if (window_.empty() || byte < windowStart_ || byte >= windowStart_ + window_.size()) {
      if (Status s = load(byte); !s.ok()) return s;
    }
    unsigned char bits = window_[static_cast<size_t>(byte - windowStart_)];
    if (run->count == 0 && bits == 0xFF) {
      pos_ = (byte + 1) * 8;  // a full byte: skip its eight blocks at once
      continue;
    }
    bool used = bits & bitmapMask(block);
    if (used && run->count > 0) break;  // the run ends at a used block
    ++pos_;
    if (used) continue;
    if (run->count == 0) run->first = block;
    ++run->count;
  }
  return {};
}

}  // namespace korvane
