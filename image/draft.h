// A file's next version, copy on write: its bytes in blocks of its own,
// taken from the pool, that no committed entry names. The image marks them
// in the commit that makes the draft the file (a new entry, or a stored
// one rewritten to name it), so a crash before leaves at worst free blocks
// holding bytes; the file as committed is never touched. A draft's last
// block holds zeros past its size, so growing it shows zeros there.
#pragma once

#include <cstdint>
#include <vector>

#include "image/block_pool.h"
#include "image/image.h"

namespace korvane {

class Draft {
 public:
  // An empty draft, of no block yet: a write or a resize gives it blocks.
  Draft(Image& img, BlockPool& pool) : img_(img), pool_(pool) {}

  // Copies the first `keep` bytes of `chain` into the draft, which must be
  // empty. On failure the blocks taken are given back.
  Status copy(const std::vector<uint32_t>& chain, uint64_t keep);
  // Lays `len` bytes of `data` at `offset`, growing the draft with zero
  // bytes when the offset lies past its end. NoSpace, IoError; a failure
  // part way leaves the draft broken().
  Status write(uint64_t offset, const char* data, size_t len);
  // Cuts or grows the draft (with zero bytes) to `bytes`; a draft of no
  // block gets its first. As write.
  Status resize(uint64_t bytes);
  // Zeroes its blocks and gives them back; blocks that fail to be zeroed
  // are leaked. The first failure is told.
  Status discard();
  // Hands its blocks over to the file a commit made of it.
  std::vector<uint32_t> takeBlocks() { return std::move(blocks_); }

  const std::vector<uint32_t>& blocks() const { return blocks_; }
  uint64_t bytes() const { return bytes_; }
  // A write failed part way: the chain may link past its size or hold
  // stale bytes, and must never be committed.
  bool broken() const { return broken_; }

 private:
  Status put(uint64_t offset, const char* data, size_t len, uint64_t end);
  Status cut(uint64_t bytes);
  Status broke(Status s) {
    broken_ = true;
    return s;
  }

  Image& img_;
  BlockPool& pool_;
  std::vector<uint32_t> blocks_;
  uint64_t bytes_ = 0;
  bool broken_ = false;
};

// Reads up to `len` bytes at `offset` of the file of `size` bytes in
// `chain`; *got is short only at the end. One read per run of consecutive
// blocks, the links read into a scratch word. On failure: ShortRead,
// IoError.
Status readChainBytes(Image& img, const std::vector<uint32_t>& chain, uint64_t size,
                      uint64_t offset, size_t len, char* buf, size_t* got);

}  // namespace korvane
