// A file's chain of blocks: the one walk over it, and giving blocks back.
#pragma once

#include <cstdint>
#include <vector>

#include "image/image.h"

namespace korvane {

// Blocks [first, first + count).
struct Run {
  uint32_t first = 0;
  uint32_t count = 0;
};

// Walks an entry's chain a run of consecutive blocks at a time, reading
// only the links. The walk is bounded before it starts: exactly the blocks
// the entry's size needs, each below blockCount, the last one linking to
// EndOfChain; anything else is Damaged, found before the block is used.
class ChainWalker {
 public:
  explicit ChainWalker(Image& img) : img_(img) {}

  // Starts at the entry's first block; Damaged when the chain its size
  // needs cannot fit the image.
  Status start(const FileEntry& entry);
  // The next run, at most `maxRun` blocks; an empty run after the last.
  Status next(Run* run, uint32_t maxRun = MaxBlockCount);

 private:
  Image& img_;
  uint32_t block_ = 0;  // the next block to visit
  uint32_t left_ = 0;   // blocks still to visit
};

// Walks the whole chain, calling visit(run) for each run; stops at the
// first failure, of the walk or of visit.
template <class Visit>
Status walkChain(Image& img, const FileEntry& entry, Visit&& visit) {
  ChainWalker walker(img);
  if (Status s = walker.start(entry); !s.ok()) return s;
  for (;;) {
    Run run;
    if (Status s = walker.next(&run); !s.ok()) return s;
    if (run.count == 0) return {};
    if (Status s = visit(run); !s.ok()) return s;
  }
}

// Blocks [first, first + count) of `chain` as runs of consecutive blocks:
// visit(i, n) for chain[i, i + n); stops at the first failure.
template <class Visit>
Status forEachRun(const std::vector<uint32_t>& chain, uint64_t first, uint64_t count,
                  Visit&& visit) {
  for (uint64_t i = first, end = first + count; i < end;) {
    uint64_t j = i + 1;
    while (j < end && chain[j] == chain[j - 1] + 1) ++j;
    if (Status s = visit(i, j - i); !s.ok()) return s;
    i = j;
  }
  return {};
}

// Writing a chain that no committed entry names yet (a draft's), in blocks
// the image still shows free: nothing here syncs or marks, and a crash part
// way leaves free blocks holding bytes, which a check zeroes. On failure:
// IoError.
//
// Writes blocks chain[first, first + payloads.size()), block chain[first + i]
// holding the BlockPayload bytes at payloads[i] and linking to the next
// block of `chain`, or ending it. Consecutive blocks go in one write each.
// The first block's bytes before `skip` and the last block's from `keep` on
// are left as they are, the last one's link too when keep < BlockPayload:
// payloads[0] then points at the byte `skip`, and a block written in part
// costs no read of the bytes kept.
Status writeChainBlocks(Image& img, const std::vector<uint32_t>& chain, uint64_t first,
                        const std::vector<const unsigned char*>& payloads, uint32_t skip = 0,
                        uint32_t keep = BlockPayload);
// Links `block` to `next`, one write of the link alone.
Status linkBlock(Image& img, uint32_t block, uint32_t next);
// Ends the chain at `block`, which keeps its first `kept` payload bytes;
// the rest reads as zeros, as in a file's last block. The link is written
// first, then the rest zeroed.
Status endChainAt(Image& img, uint32_t block, uint32_t kept);

// Zeroes the run's blocks, leaving their bits as they are.
Status zeroRun(Image& img, const Run& run);

}  // namespace korvane
