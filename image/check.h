// Checking an image against every rule of the format, and mending what can
// be mended without losing a byte that can still be read. Nothing here
// prints: each problem is handed to the caller as a Finding.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/env.h"
#include "image/image.h"

namespace korvane {

enum class Problem {
  // The header. `first` is the block count the check goes by.
  ImageTooShortForHeader,  // value: the file's length; expected: HeaderSize
  BlockCountTooLarge,      // value: blockCount; expected: MaxBlockCount
  BlockCountWrong,         // value: blockCount; expected: the count length and dataOffset agree on
  DataOffsetWrong,         // value: dataOffset; expected: the one the block count gives
  ImageTooShort,           // value: the file's length; expected: the length blockCount needs
  TableEndOutOfRange,      // value: tableEnd; expected: where the entries end (mended) or
                           // tableStart (not mended)
  TableEndMisaligned,      // likewise
  TableEndHidesEntries,    // value: tableEnd; expected: the end with the entries past it that
                           // are whole files joined; last: how many

  // The bitmap, one finding per run of blocks [first, last].
  SpareBitsSet,       // bits past the last block are set: cleared
  BlocksUnmarked,     // blocks of a file whose bits are clear: marked used
  BlocksLeaked,       // bits set for blocks of no file: zeroed and freed
  FreeBlocksNotZero,  // free blocks holding non-zero bytes: zeroed
  OrphanSaved,        // a whole chain no entry leads to, from `first`, `value` blocks long:
                      // saved as a file called `newName`

  // One entry, at `slot`, called `name`.
  EntryEmpty,            // every byte zero: dropped
  NameUnterminated,      // no NUL in the name field: cut to MaxNameLength bytes
  EntryRepeated,         // the same bytes as entry `other`: dropped
  EntryTorn,             // straddles a sector boundary; its bytes before it are those of
                         // slot `other` and its bytes after it those of a third slot, each
                         // differing in the rest: a write torn part way, dropped (the entry
                         // it held is whole in another slot)
  FirstBlockOutOfRange,  // value: firstBlock; nothing readable: dropped
  FirstBlockTaken,       // value: firstBlock, owned by entry `other`: dropped
  FirstBlockFree,        // value: firstBlock, free and all zero: nothing readable, dropped
  FirstBlockFound,       // value: firstBlock, out of range, taken or free; a chain no entry
                         // leads to, from `first`, fits the size: the entry points to it
  LinkOutOfRange,        // block `first` links to `value`: cut after `expected` blocks
  ChainLoops,            // block `first` links back to `value`: cut likewise
  ChainCrosses,          // block `first` links to `value` of entry `other`: cut likewise
  ChainRejoined,         // block `first` links to `value` (outside the image, back, or into
                         // another file); a chain no entry leads to, from `expected`, holds
                         // the rest of the file: linked back to it
  ChainTooShort,         // chain ends after `value` blocks, the size needs `expected`: size cut
  ChainNotEnded,         // last block `first` links on to `value`: made to end the chain
  SizeWrong,             // value: fileSize; expected: the size the chain's `first` blocks and
                         // lastBlockBytes agree on: set
  LastBlockBytesWrong,   // value: lastBlockBytes; expected: what fileSize gives: set
  NameRepeated,          // name already used by entry `other`: renamed to `newName`
};

struct Finding {
  explicit Finding(Problem k) : kind(k) {}

  Problem kind;
  uint64_t slot = 0;   // the entry's slot, counted from 0
  uint64_t other = 0;  // the earlier entry involved, counted from 0
  uint64_t first = 0;  // a block, or the first of a run, or a bound
  uint64_t last = 0;   // the last block of a run, or a bound
  uint64_t value = 0;  // what the image holds
  uint64_t expected = 0;
  std::string name;  // the entry's name as stored (the whole field when no NUL)
  std::string otherName;
  std::string newName;
  // Whether a repair mends it; a header whose witnesses disagree is only
  // reported.
  bool mendable = true;
  // For a mended chain, the size the file keeps, in bytes.
  uint64_t keptBytes = 0;
};

struct CheckOptions {
  bool repair = false;
  int lockWaitMs = LockWaitMs;
};

struct CheckSummary {
  bool headerSound = false;  // false: the header could not be settled, nothing else was checked
  uint32_t blockCount = 0;
  uint64_t files = 0;       // entries in the table, after any repair
  uint64_t usedBlocks = 0;  // blocks owned by files, after any repair
  uint64_t problems = 0;
  uint64_t fixed = 0;  // problems mended; 0 unless repairing
};

using FindingSink = std::function<void(const Finding&)>;

// Checks the image at `path` under an exclusive lock, calling `sink` for each
// problem as it is found, and with `repair` mends every mendable problem.
// Where the image tells a fact more than once (a file's size by fileSize,
// lastBlockBytes and its chain; the block count by the header and the file's
// length), the reading two witnesses agree on and that keeps the most bytes
// wins. No block that may hold a file's data is freed while an entry or a
// chain no entry leads to can claim it: such a chain is linked back to the
// entry it completes, or saved as a file "lost.<first block>".
// A check reads the image once from end to end and keeps two u32 per block
// and one entry per slot in memory. On success *out tells the counts. On
// failure: OpenFailed (the file cannot be opened), Locked (another process
// held the lock for lockWaitMs), IoError or ShortRead (reading or writing the
// image failed; a repair may then be half done, and a second run finishes it).
Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  const FindingSink& sink, CheckSummary* out);

// The same, collecting the findings into a list.
Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  std::vector<Finding>* findings, CheckSummary* out);

}  // namespace korvane
