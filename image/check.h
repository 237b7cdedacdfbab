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
  // The header; none of these is mended, and nothing after them is checked.
  // first: blockCount (but for the first kind).
  ImageTooShortForHeader,  // value: the file's length; expected: HeaderSize
  BlockCountTooLarge,      // value: blockCount; expected: MaxBlockCount
  DataOffsetWrong,         // value: dataOffset; expected: the one blockCount gives
  ImageTooShort,           // value: the file's length; expected: the length blockCount needs
  TableEndOutOfRange,      // value: tableEnd; expected: tableStart (the end is dataOffset)
  TableEndMisaligned,      // value: tableEnd; expected: tableStart

  // The bitmap, one finding per run of blocks [first, last].
  SpareBitsSet,       // bits past the last block are set: cleared
  BlocksUnmarked,     // blocks of a file whose bits are clear: marked used
  BlocksLeaked,       // bits set for blocks of no file: zeroed and freed
  FreeBlocksNotZero,  // free blocks holding non-zero bytes: zeroed

  // One entry, at `slot`, called `name`.
  NameUnterminated,      // no NUL in the name field: cut to MaxNameLength bytes
  EntryRepeated,         // the same bytes as entry `other`: dropped
  EntryTorn,             // starts where the next entry, `other`, does but differs: a move
                         // torn part way; `other` is copied over it, and is then a repeat
  FirstBlockOutOfRange,  // value: firstBlock; nothing readable: dropped
  FirstBlockTaken,       // value: firstBlock, owned by entry `other`: dropped
  LinkOutOfRange,        // block `first` links to `value`: cut after `expected` blocks
  ChainLoops,            // block `first` links back to `value`: cut likewise
  ChainCrosses,          // block `first` links to `value` of entry `other`: cut likewise
  ChainTooShort,         // chain ends after `value` blocks, the size needs `expected`: size cut
  ChainNotEnded,         // last block `first` links on to `value`: made to end the chain
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
  // Whether a repair mends it; a header problem is only reported.
  bool mendable = true;
  // For a mended chain, the size the file keeps, in bytes.
  uint64_t keptBytes = 0;
};

struct CheckOptions {
  bool repair = false;
  int lockWaitMs = LockWaitMs;
};

struct CheckSummary {
  bool headerSound = false;  // false: only the header was checked
  uint32_t blockCount = 0;
  uint64_t files = 0;       // entries in the table, after any repair
  uint64_t usedBlocks = 0;  // blocks owned by files, after any repair
  uint64_t problems = 0;
  uint64_t fixed = 0;  // problems mended; 0 unless repairing
};

using FindingSink = std::function<void(const Finding&)>;

// Checks the image at `path` under an exclusive lock, calling `sink` for each
// problem as it is found, and with `repair` mends every mendable problem.
// A check reads the image once from end to end and keeps one u32 per block
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
