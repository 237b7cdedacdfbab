// What the checker's passes share: the state of one check (every slot's
// entry, every block's link and owner, the bitmap as read, the findings'
// counts and what the repair will write), the small types the passes hand
// each other, and the helpers more than one of them uses. Private to the
// checker: only image/check*.cpp include it. Each pass lives in a
// check_*.cpp named after it, and check.cpp orders them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/chain.h"
#include "image/check.h"
#include "image/env.h"
#include "image/image.h"
#include "image/layout.h"

namespace korvane::check_detail {

// Slots past the table's end start Dropped; those taken back are Kept.
enum class SlotState : unsigned char { Kept, Changed, Dropped };
enum class BlockState : unsigned char { Fine, Unmarked, Leaked, NotZero };

// How a walk along an entry's chain ended.
enum class WalkEnd : unsigned char { Whole, Short, Long, Broken };

struct Walk {
  uint32_t last = 0;   // the last block claimed
  uint32_t count = 0;  // blocks claimed
  uint32_t link = 0;   // the last block's link
  WalkEnd end = WalkEnd::Whole;
};

// A chain of blocks no entry leads to, ending in EndOfChain.
struct Orphan {
  uint32_t head;
  uint32_t count;
  uint32_t lastUsed;  // the payload bytes of its last block, up to the last that is not zero
  bool marked;        // every block is marked used
  bool taken = false;
};

inline bool allZero(const unsigned char* p, size_t n) {
  unsigned char acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc == 0;
}

inline bool emptySlot(const FileEntry& e) {
  unsigned char raw[FileEntrySize];
  encodeEntry(raw, e);
  return allZero(raw, FileEntrySize);
}

// The names of the kept entries, for finding repeats in one pass: an open
// hash table of slot numbers whose names are read from the entries
// themselves, so a full table costs 4 bytes per slot, not a string each.
class NameSet {
 public:
  explicit NameSet(const std::vector<FileEntry>& entries) : entries_(entries) {}

  void reserve(size_t n) {
    size_t cap = 16;
    while (cap < n + n / 2 + 2) cap *= 2;  // at most two thirds full, so probes end
    table_.assign(cap, 0);
  }
  // The slot whose name is `name`, if any.
  bool find(std::string_view name, uint32_t* slot) const {
    size_t cell = probe(name);
    if (table_[cell] == 0) return false;
    *slot = table_[cell] - 1;
    return true;
  }
  // Adds the entry at `slot`, whose name is not in the set yet.
  void insert(uint32_t slot) { table_[probe(entries_[slot].nameView())] = slot + 1; }

 private:
  // The cell holding `name`, or the empty cell where it would go. The table
  // is never full, so an empty cell comes within one round.
  size_t probe(std::string_view name) const {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    size_t mask = table_.size() - 1, cell = static_cast<size_t>(h) & mask;
    for (size_t i = 0; i < table_.size(); ++i, cell = (cell + 1) & mask)
      if (table_[cell] == 0 || entries_[table_[cell] - 1].nameView() == name) return cell;
    return cell;  // not reached
  }

  const std::vector<FileEntry>& entries_;
  std::vector<uint32_t> table_;  // slot + 1; 0 is empty
};

// One check of one image. run() calls the passes in order; each reads and
// extends the state below, and the repair writes what they decided.
class Checker {
 public:
  Checker(std::unique_ptr<File> f, const CheckOptions& o, const FindingSink& sink)
      : own_(std::move(f)), file_(*own_), opt_(o), sink_(sink), names_(entries_) {}

  Status run(CheckSummary* out);
  // The file stays the same object when the image takes it over.
  Status close() { return file_.close(); }

 private:
  // The header, the bitmap, the table and the data area, each read once
  // (check_header.cpp).
  Status settleGeometry(bool* settled);
  void reportHeader(Problem kind, uint64_t value, uint64_t expected, bool mendable);
  void settleTableEnd();
  Status readBitmap();
  Status readTable();
  Status sweepData();
  bool holdsData(uint32_t block);
  uint32_t lastUsed(uint32_t block);
  void checkSpareBits();

  // Torn slots, and whole entries past the table's end (check_past_table.cpp).
  void dropTornSlots();
  void takeBackHidden();
  bool hiddenWhole(uint32_t slot, uint64_t* budget) const;

  // Entries, their chains, the chains no entry leads to, and the bitmap
  // against them all (check_chains.cpp).
  void prepare(uint32_t slot);
  bool wholeOnItsOwn(uint32_t slot, uint64_t* budget) const;
  bool claimWhole(uint32_t slot, std::vector<uint32_t>* losers);
  uint32_t before(uint32_t first, uint32_t b) const;
  bool winsContest(const FileEntry& mine, uint32_t prev, const FileEntry& theirs,
                   uint32_t theirPrev, uint32_t b);
  void disown(uint32_t slot);
  void claimFirstBlock(uint32_t slot);
  void walkChain(uint32_t slot);
  void judgeWalk(uint32_t slot, Walk& w);
  uint32_t followUnclaimed(uint32_t from, uint32_t limit) const;
  void claimRest(uint32_t slot, uint32_t from, Walk* w);
  void cutChain(uint32_t slot, const Walk& w);
  void setSize(uint32_t slot, uint32_t size, uint32_t blocks, uint64_t value);
  void checkLastBlockBytes(uint32_t slot);
  void findOrphans();
  Orphan* orphanFor(uint32_t blocks, uint32_t lastBytes, uint32_t bad, bool anyFits);
  void claimOrphan(uint32_t slot, Orphan& o);
  void rejoin();
  void salvage();
  BlockState blockState(uint32_t block);
  void checkBlocks();

  // Names (check_names.cpp).
  void collectNames(std::vector<uint32_t>* repeats);
  void nameEntries();
  std::string uniqueName(std::string_view base) const;

  // Mending (check_repair.cpp).
  Status repair();
  Status writeHeader();
  Status clearSpareBits();
  Status writeLinks();
  Status commitRepair();

  // The counts run() hands back (check.cpp).
  void summarize(CheckSummary* out) const;

  // Findings, and what every pass asks of the state.
  void report(Finding f) {
    ++problems_;
    if (f.mendable) ++mendable_;
    sink_(f);
  }
  Finding entryFinding(Problem kind, uint32_t slot) const {
    Finding f{kind};
    f.slot = slot;
    f.name = std::string(entries_[slot].nameView());
    return f;
  }
  void setOther(Finding* f, uint32_t other) const {
    f->other = other;
    f->otherName = std::string(entries_[other].nameView());
  }
  void change(uint32_t slot) { state_[slot] = SlotState::Changed; }
  void drop(uint32_t slot) { state_[slot] = SlotState::Dropped; }
  bool kept(uint32_t slot) const { return state_[slot] != SlotState::Dropped; }
  uint64_t keptCount() const {
    return std::count_if(state_.begin(), state_.end(),
                         [](SlotState s) { return s != SlotState::Dropped; });
  }
  bool marked(uint32_t block) const { return testBit(bitmap_.data(), block); }
  uint32_t blockCount() const { return n_; }
  uint64_t slotOffset(uint64_t slot) const { return korvane::slotOffset(n_, slot); }
  uint64_t blockOffset(uint32_t block) const { return korvane::blockOffset(dataOffset_, block); }

  std::unique_ptr<File> own_;  // the file, until the repair's image takes it
  std::unique_ptr<Image> img_;
  File& file_;
  const CheckOptions& opt_;
  const FindingSink& sink_;
  Header header_;        // as on disk
  uint32_t n_ = 0;       // the block count the check goes by
  uint32_t dataOffset_ = 0;
  bool headerChanged_ = false;
  bool tableEndBad_ = false;  // outside the table or off a slot: replaced with the header
  bool spareBits_ = false;
  uint32_t count_ = 0;   // slots in the table, as settled
  // Past the slots that show a torn slot for what it is, which the repair
  // must not overwrite before it is durable: a run after a power cut reads
  // them again.
  uint64_t witnessEnd_ = 0;
  std::vector<unsigned char> bitmap_;   // as on disk
  std::vector<unsigned char> notZero_;  // one bit per block: it holds a byte that is not zero
  std::vector<uint32_t> next_;          // every block's link
  Status readFailure_;  // a block read while judging that failed
  std::vector<unsigned char> judged_;   // one bit per block marked used: notZero_ holds its answer
  std::vector<uint32_t> owner_;         // slot + 1 of the entry owning a block; 0: none
  std::vector<FileEntry> entries_;      // every slot, then saved chains; kept ones mended
  std::vector<SlotState> state_;        // for each of entries_
  // Walks that did not end as the entry's size says, by slot.
  std::vector<std::pair<uint32_t, Walk>> pending_;
  std::vector<uint32_t> needFirst_;     // slots whose first block leads nowhere of theirs
  std::vector<Orphan> orphans_;
  NameSet names_;
  std::vector<std::pair<uint32_t, uint32_t>> cuts_;     // block, EndOfChain
  std::vector<std::pair<uint32_t, uint32_t>> relinks_;  // block, its new link
  std::vector<Run> unmarked_, leaked_, dirty_;          // runs of blocks found so
  uint64_t problems_ = 0;
  uint64_t mendable_ = 0;
};

}  // namespace korvane::check_detail
