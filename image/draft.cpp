#include "image/draft.h"

#include <algorithm>
#include <cstring>

#include "image/chain.h"
#include "image/commit.h"

namespace korvane {
namespace {

// Blocks moved per write or read: 1 MiB, large enough that system calls
// vanish from the cost of a copy, small enough to keep memory flat.
constexpr uint64_t RunBlocks = 256;

// The payload block `k` of the draft gets from a write of `len` bytes of
// `data` at `offset`, the draft having `old` blocks before it: the caller's
// bytes themselves where they cover it or it is an old block (written in
// part, from where they start), zeros for a new block they miss, else a
// block of *edges holding zeros with the new bytes laid on them.
const unsigned char* payloadOf(uint64_t k, uint64_t old, uint64_t offset, const char* data,
                               size_t len, std::vector<std::vector<unsigned char>>* edges) {
  static const unsigned char zeros[BlockPayload] = {};
  uint64_t from = k * BlockPayload, to = from + BlockPayload;
  uint64_t a = std::max(from, offset), b = std::min(to, offset + len);
  auto bytes = reinterpret_cast<const unsigned char*>(data);
  if ((a == from && b == to) || (k < old && a < b)) return bytes + (a - offset);
  if (a >= b) return zeros;
  std::vector<unsigned char>& edge = edges->emplace_back(BlockPayload);
  std::memcpy(edge.data() + (a - from), data + (a - offset), b - a);
  return edge.data();
}

// Zeroes `blocks`, which the image never marked used, and gives them back;
// those that fail to be zeroed are leaked. The first failure is told.
Status zeroAndGiveBack(Image& img, BlockPool& pool, const std::vector<uint32_t>& blocks) {
  Status first;
  for (const Run& r : runsOf(blocks)) {
    std::vector<uint32_t> run(r.count);
    for (uint32_t k = 0; k < r.count; ++k) run[k] = r.first + k;
    if (Status s = zeroRun(img, r); !s.ok()) {
      pool.leak(r.count);
      if (first.ok()) first = s;
    } else {
      pool.giveBack(run);
    }
  }
  return first;
}

}  // namespace

Status Draft::discard() {
  Status s = zeroAndGiveBack(img_, pool_, blocks_);
  blocks_.clear();
  bytes_ = 0;
  broken_ = false;
  return s;
}

// The bytes after `keep` in the last block are zero, so growing the draft
// later shows zeros there.
Status Draft::copy(const std::vector<uint32_t>& chain, uint64_t keep) {
  uint64_t blocks = blocksForFile(keep);
  Status s = pool_.take(blocks, &blocks_);
  std::vector<unsigned char> buf(static_cast<size_t>(std::min(blocks, RunBlocks)) * BlockSize);
  std::vector<const unsigned char*> payloads;
  for (uint64_t i = 0; s.ok() && i < blocks; i += RunBlocks) {
    uint64_t count = std::min(RunBlocks, blocks - i);
    std::fill(buf.begin(), buf.end(), 0);
    if (keep > 0)
      s = forEachRun(chain, i, count, [&](uint64_t j, uint64_t n) {
        return readExact(img_.file(), img_.blockOffset(chain[j]), buf.data() + (j - i) * BlockSize,
                         n * BlockSize);
      });
    if (s.ok() && i + count == blocks) {
      uint64_t tail = keep - (blocks - 1) * BlockPayload;
      std::fill(buf.begin() + (count - 1) * BlockSize + tail,
                buf.begin() + (count - 1) * BlockSize + BlockPayload, 0);
    }
    payloads.clear();
    for (uint64_t k = 0; k < count; ++k) payloads.push_back(buf.data() + k * BlockSize);
    if (s.ok()) s = writeChainBlocks(img_, blocks_, i, payloads);
  }
  if (!s.ok()) {
    (void)discard();
    return s;
  }
  bytes_ = keep;
  return {};
}

Status Draft::write(uint64_t offset, const char* data, size_t len) {
  return put(offset, data, len, std::max<uint64_t>(bytes_, offset + len));
}

Status Draft::resize(uint64_t bytes) {
  if (bytes < bytes_) return cut(bytes);
  return bytes > bytes_ || blocks_.empty() ? put(bytes, nullptr, 0, bytes) : Status{};
}

// Grows the draft to `end` bytes and lays `len` bytes of `data` at
// `offset`, a run of whole blocks per write, straight from `data`. New
// blocks are zero where nothing lands; of an old block only the bytes that
// land are written, so no block is read. Only the blocks the bytes land in,
// and those the draft grows by, are written: a write that grows the draft
// reaches its new last block, so a write costs its own bytes, wherever in
// the file it lands.
Status Draft::put(uint64_t offset, const char* data, size_t len, uint64_t end) {
  uint64_t old = blocks_.size(), need = std::max<uint64_t>(old, blocksForFile(end));
  if (Status s = pool_.take(need - old, &blocks_); !s.ok()) {
    std::vector<uint32_t> taken(blocks_.begin() + old, blocks_.end());
    blocks_.resize(old);
    (void)zeroAndGiveBack(img_, pool_, taken);
    return s;
  }
  uint64_t lo = len ? std::min(offset / BlockPayload, old) : old;
  uint64_t hi = len ? (offset + len - 1) / BlockPayload + 1 : need;
  // An old block at either end is written from where the bytes start, or
  // to where they stop; a new one whole. A write that ends in an old block
  // does not grow the draft, so that block's link stays.
  auto skip = static_cast<uint32_t>(lo < old && len ? offset - lo * BlockPayload : 0);
  auto keep = static_cast<uint32_t>(hi - 1 < old && len ? offset + len - (hi - 1) * BlockPayload
                                                        : BlockPayload);
  for (uint64_t i = lo; i < hi; i += RunBlocks) {
    uint64_t count = std::min(RunBlocks, hi - i);
    std::vector<const unsigned char*> payloads;
    std::vector<std::vector<unsigned char>> edges;  // new blocks written in part
    for (uint64_t k = i; k < i + count; ++k)
      payloads.push_back(payloadOf(k, old, offset, data, len, &edges));
    if (Status s = writeChainBlocks(img_, blocks_, i, payloads, i == lo ? skip : 0,
                                    i + count == hi ? keep : BlockPayload);
        !s.ok())
      return broke(s);
  }
  // The old last block, not rewritten, links on to the blocks taken.
  if (need > old && old > 0 && lo > old - 1)
    if (Status s = linkBlock(img_, blocks_[old - 1], blocks_[old]); !s.ok()) return broke(s);
  bytes_ = std::max(bytes_, end);
  return {};
}

// Cuts the draft to `bytes`: the blocks past it are given back, the new
// last block ends the chain and holds zeros after the bytes it keeps.
Status Draft::cut(uint64_t bytes) {
  uint64_t keep = blocksForFile(bytes);
  std::vector<uint32_t> tail(blocks_.begin() + keep, blocks_.end());
  blocks_.resize(keep);
  bytes_ = bytes;
  // Blocks that fail to be zeroed stay used, counted as leaked: the draft
  // itself is whole without them.
  Status freed = zeroAndGiveBack(img_, pool_, tail);
  auto kept = static_cast<uint32_t>(bytes - (keep - 1) * BlockPayload);
  if (Status s = endChainAt(img_, blocks_.back(), kept); !s.ok()) return broke(s);
  return freed;
}

Status readChainBytes(Image& img, const std::vector<uint32_t>& chain, uint64_t size,
                      uint64_t offset, size_t len, char* buf, size_t* got) {
  *got = 0;
  if (offset >= size) return {};
  uint64_t end = offset + std::min<uint64_t>(len, size - offset);
  uint64_t first = offset / BlockPayload, last = (end - 1) / BlockPayload;
  unsigned char link[LinkSize];
  Status s = forEachRun(chain, first, last - first + 1, [&](uint64_t i, uint64_t count) {
    for (uint64_t k = i; k < i + count; k += RunBlocks) {
      iovec iov[2 * RunBlocks];
      int parts = 0;
      uint64_t stop = std::min(i + count, k + RunBlocks);
      uint64_t at = std::max(offset, k * BlockPayload);
      uint64_t from = img.blockOffset(chain[k]) + (at - k * BlockPayload);
      size_t want = 0;
      for (uint64_t b = k; b < stop; ++b) {
        uint64_t a = std::max(offset, b * BlockPayload), z = std::min(end, (b + 1) * BlockPayload);
        iov[parts++] = {buf + (a - offset), static_cast<size_t>(z - a)};
        want += z - a;
        if (b + 1 < stop) {
          iov[parts++] = {link, LinkSize};
          want += LinkSize;
        }
      }
      size_t done = 0;
      if (Status s = img.file().readv(from, iov, parts, &done); !s.ok()) return s;
      if (done != want) return Status::fail(Error::ShortRead);
    }
    return Status{};
  });
  if (s.ok()) *got = static_cast<size_t>(end - offset);
  return s;
}

}  // namespace korvane
