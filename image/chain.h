// A file's chain of blocks: the one walk over it, and giving blocks back.
#pragma once

#include <cstdint>

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

// Zeroes the run's blocks, then clears their bits: a crash in between
// leaves used blocks that hold zeros, never a free block still holding an
// old file's bytes. On failure: IoError, the blocks still marked used.
Status releaseRun(Image& img, const Run& run);

}  // namespace korvane
