#include "image/check.h"

#include <algorithm>
#include <bit>
#include <memory>

namespace korvane {
namespace {

constexpr uint32_t SweepBlocks = 256;  // 1 MiB of data area per read

enum class SlotState : unsigned char { Kept, Changed, Dropped };
enum class BlockState : unsigned char { Fine, Unmarked, Leaked, NotZero };

struct Run {
  uint32_t first;
  uint32_t count;
};

bool allZero(const unsigned char* p, size_t n) {
  unsigned char acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc == 0;
}

bool sameEntry(const FileEntry& a, const FileEntry& b) {
  return a.firstBlock == b.firstBlock && a.fileSize == b.fileSize &&
         a.lastBlockBytes == b.lastBlockBytes && a.nameView() == b.nameView();
}

Problem headerProblem(HeaderRule rule) {
  switch (rule) {
    case HeaderRule::LengthHoldsHeader: return Problem::ImageTooShortForHeader;
    case HeaderRule::BlockCountFits: return Problem::BlockCountTooLarge;
    case HeaderRule::DataOffsetDerived: return Problem::DataOffsetWrong;
    case HeaderRule::LengthHoldsBlocks: return Problem::ImageTooShort;
    case HeaderRule::TableEndInTable: return Problem::TableEndOutOfRange;
    case HeaderRule::TableEndOnSlot: return Problem::TableEndMisaligned;
  }
  return Problem::ImageTooShortForHeader;
}

bool terminated(const FileEntry& e) { return std::memchr(e.name, 0, NameFieldSize) != nullptr; }

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

class Checker {
 public:
  Checker(File& f, const CheckOptions& o, const FindingSink& sink)
      : file_(f), opt_(o), sink_(sink), names_(entries_) {}

  Status run(CheckSummary* out);

 private:
  void reportHeader(Problem kind, uint64_t value, uint64_t expected);
  Status checkHeader(bool* sound);
  Status readBitmap();
  Status readTable();
  Status sweepData();
  void checkSpareBits();
  void checkEntry(uint32_t slot);
  void mendTornCopy(uint32_t slot);
  bool dropUnreachable(uint32_t slot, const FileEntry& probe);
  void walkChain(uint32_t slot);
  void endWalk(uint32_t slot, uint32_t block, uint32_t count);
  void cutChain(Finding f, uint32_t slot, uint32_t atBlock, uint32_t kept);
  void checkLastBlockBytes(uint32_t slot);
  void renameRepeats();
  std::string uniqueName(std::string_view base) const;
  BlockState blockState(uint32_t block) const;
  void checkBlocks();
  void summarize(CheckSummary* out) const;

  Status repair();
  Status writeBitmap(bool keepLeaked);
  Status writeChangedEntries();
  Status writeSlots(uint64_t firstSlot, const std::vector<const FileEntry*>& entries);
  Status compactTable();
  Status zeroFreed();

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
  uint32_t blockCount() const { return header_.blockCount; }
  uint64_t slotOffset(uint64_t slot) const { return korvane::slotOffset(blockCount(), slot); }
  uint64_t blockOffset(uint32_t block) const {
    return korvane::blockOffset(header_.dataOffset, block);
  }

  File& file_;
  const CheckOptions& opt_;
  const FindingSink& sink_;
  Header header_;
  std::vector<unsigned char> bitmap_;   // as on disk
  std::vector<unsigned char> notZero_;  // one bit per block: a free block holds data
  std::vector<uint32_t> next_;          // every block's link
  std::vector<uint32_t> owner_;         // slot + 1 of the entry owning a block; 0: none
  std::vector<FileEntry> entries_;      // the table; kept entries mended in memory
  std::vector<SlotState> state_;
  NameSet names_;
  std::vector<uint32_t> repeats_;  // slots whose name an earlier kept entry has
  std::vector<uint32_t> cuts_;     // blocks that are to end their chain
  std::vector<Run> toZero_;        // leaked and dirty free blocks
  uint64_t problems_ = 0;
  uint64_t mendable_ = 0;
};

// ---- reading and checking ---------------------------------------------------

void Checker::reportHeader(Problem kind, uint64_t value, uint64_t expected) {
  Finding f{kind};
  f.first = header_.blockCount;
  f.value = value;
  f.expected = expected;
  f.mendable = false;
  report(f);
}

// The header is the one thing a repair never guesses at: every other
// structure is found through it, so a wrong value here would turn a repair
// into damage. Its problems are reported and the check stops.
Status Checker::checkHeader(bool* sound) {
  uint64_t length = 0;
  if (Status s = readHeader(file_, &header_, &length); !s.ok()) return s;
  HeaderVerdict verdict = judgeHeader(length, header_);
  for (int i = 0; i < verdict.count; ++i) {
    const HeaderFault& f = verdict.faults[i];
    reportHeader(headerProblem(f.rule), f.value, f.expected);
  }
  *sound = verdict.sound();
  return {};
}

Status Checker::readBitmap() {
  bitmap_.resize(static_cast<size_t>(bitmapBytes(blockCount())));
  return readExact(file_, HeaderSize, bitmap_.data(), bitmap_.size());
}

Status Checker::readTable() {
  uint64_t count = (header_.tableEnd - tableStart(blockCount())) / FileEntrySize;
  entries_.reserve(static_cast<size_t>(count));
  std::vector<unsigned char> raw;
  for (uint64_t first = 0; first < count; first += TableBatch) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(TableBatch, count - first));
    raw.resize(n * FileEntrySize);
    if (Status s = readExact(file_, slotOffset(first), raw.data(), raw.size()); !s.ok()) return s;
    for (size_t i = 0; i < n; ++i) entries_.push_back(decodeEntry(raw.data() + i * FileEntrySize));
  }
  state_.assign(entries_.size(), SlotState::Kept);
  return {};
}

// Reads the whole data area once, in large sequential runs, keeping each
// block's link and whether a block marked free holds anything but zeros.
// Chains are then walked in memory, whatever order their blocks lie in.
Status Checker::sweepData() {
  next_.assign(blockCount(), 0);
  notZero_.assign(bitmap_.size(), 0);
  std::vector<unsigned char> buf(size_t{SweepBlocks} * BlockSize);
  for (uint32_t start = 0; start < blockCount(); start += SweepBlocks) {
    uint32_t n = std::min(SweepBlocks, blockCount() - start);
    if (Status s = readExact(file_, blockOffset(start), buf.data(), size_t{n} * BlockSize);
        !s.ok())
      return s;
    for (uint32_t i = 0; i < n; ++i) {
      const unsigned char* block = buf.data() + size_t{i} * BlockSize;
      next_[start + i] = decodeU32(block + BlockPayload);
      if (!testBit(bitmap_.data(), start + i) && !allZero(block, BlockSize))
        setBit(notZero_.data(), start + i);
    }
  }
  return {};
}

void Checker::checkSpareBits() {
  uint32_t used = blockCount() % 8;
  if (used == 0) return;
  unsigned char spare = bitmap_.back() &
                        static_cast<unsigned char>(~blockBitsOf(bitmap_.size() - 1, blockCount()));
  if (spare == 0) return;
  uint32_t base = blockCount() - used;
  Finding f{Problem::SpareBitsSet};
  f.first = base + static_cast<uint32_t>(std::countr_zero(spare));
  f.last = base + 7 - static_cast<uint32_t>(std::countl_zero(spare));
  report(f);
}

// An entry whose first block cannot be read, or belongs to an earlier file,
// holds nothing of its own: it goes. An exact repeat of the earlier entry is
// what an erase cut short leaves behind, and is named as such. `probe` is
// the entry with its name mended, as an earlier copy of it would be by now.
bool Checker::dropUnreachable(uint32_t slot, const FileEntry& probe) {
  Finding f = entryFinding(Problem::FirstBlockOutOfRange, slot);
  f.value = probe.firstBlock;
  if (probe.firstBlock < blockCount() && owner_[probe.firstBlock] == 0) return false;
  if (probe.firstBlock < blockCount()) {
    uint32_t other = owner_[probe.firstBlock] - 1;
    f.kind = sameEntry(entries_[other], probe) ? Problem::EntryRepeated : Problem::FirstBlockTaken;
    setOther(&f, other);
  }
  // An unterminated name is moot once the entry goes: one line says why.
  state_[slot] = SlotState::Dropped;
  report(f);
  return true;
}

// Moving entries down, as an erase does, writes each slot from the one
// above it. A crash that lands only part of a slot leaves it starting like
// the entry above, whose first block it shares, and ending like the entry it
// held before. The entry above is still whole: it is copied down, and then
// goes as an exact repeat.
void Checker::mendTornCopy(uint32_t slot) {
  if (slot + 1 >= entries_.size()) return;
  FileEntry& e = entries_[slot];
  const FileEntry& above = entries_[slot + 1];
  if (e.firstBlock != above.firstBlock || sameEntry(e, above)) return;
  Finding f = entryFinding(Problem::EntryTorn, slot);
  setOther(&f, slot + 1);
  report(f);
  e = above;
  change(slot);
}

void Checker::checkEntry(uint32_t slot) {
  mendTornCopy(slot);
  FileEntry& e = entries_[slot];
  FileEntry probe = e;
  if (!terminated(probe)) probe.name[MaxNameLength] = 0;
  if (dropUnreachable(slot, probe)) return;
  if (!terminated(e)) {
    report(entryFinding(Problem::NameUnterminated, slot));
    e = probe;
    change(slot);
  }
  walkChain(slot);
  uint32_t holder = 0;
  if (names_.find(e.nameView(), &holder))
    repeats_.push_back(slot);
  else
    names_.insert(slot);
}

// Claims the chain's blocks for the entry, one hop per block, and stops at
// its end or at the first damage. Every hop claims a block no file held
// before, so the walks of all entries together take at most blockCount hops.
void Checker::walkChain(uint32_t slot) {
  uint64_t need = blocksForFile(entries_[slot].fileSize);
  uint32_t block = entries_[slot].firstBlock;
  for (uint32_t count = 1;; ++count) {
    owner_[block] = slot + 1;
    uint32_t link = next_[block];
    if (count == need || link == EndOfChain || link >= blockCount() || owner_[link] != 0)
      return endWalk(slot, block, count);
    block = link;
  }
}

// Judges where the walk stopped: at `block`, the `count`-th of the chain.
void Checker::endWalk(uint32_t slot, uint32_t block, uint32_t count) {
  uint64_t need = blocksForFile(entries_[slot].fileSize);
  uint32_t link = next_[block];
  Finding f = entryFinding(Problem::LinkOutOfRange, slot);
  f.first = block, f.value = link, f.expected = count;
  if (count == need) {
    if (link != EndOfChain) {
      f.kind = Problem::ChainNotEnded;
      report(f);
      cuts_.push_back(block);
    }
    return checkLastBlockBytes(slot);
  }
  if (link == EndOfChain) {
    f.kind = Problem::ChainTooShort, f.value = count, f.expected = need;
    return cutChain(f, slot, EndOfChain, count);
  }
  if (link < blockCount() && owner_[link] == slot + 1) f.kind = Problem::ChainLoops;
  if (link < blockCount() && owner_[link] != slot + 1) {
    f.kind = Problem::ChainCrosses;
    setOther(&f, owner_[link] - 1);
  }
  cutChain(f, slot, block, count);
}

// Keeps the `kept` blocks walked so far, each a full one: the file keeps
// every byte its chain still leads to. `atBlock` is to end the chain, unless
// it already does.
void Checker::cutChain(Finding f, uint32_t slot, uint32_t atBlock, uint32_t kept) {
  FileEntry& e = entries_[slot];
  f.keptBytes = uint64_t{kept} * BlockPayload;
  report(f);
  if (atBlock != EndOfChain) cuts_.push_back(atBlock);
  e.fileSize = kept * BlockPayload;  // below the old size, so it fits
  e.lastBlockBytes = BlockPayload;
  change(slot);
}

void Checker::checkLastBlockBytes(uint32_t slot) {
  FileEntry& e = entries_[slot];
  uint32_t want = lastBlockBytesFor(e.fileSize);
  if (e.lastBlockBytes == want) return;
  Finding f = entryFinding(Problem::LastBlockBytesWrong, slot);
  f.value = e.lastBlockBytes, f.expected = want;
  report(f);
  e.lastBlockBytes = want;
  change(slot);
}

// Two different files under one name: the later one cannot be reached by
// its name, so it gets a new one. Done after every kept name is known, so
// the new name repeats none of them.
void Checker::renameRepeats() {
  for (uint32_t slot : repeats_) {
    FileEntry& e = entries_[slot];
    uint32_t holder = 0;
    (void)names_.find(e.nameView(), &holder);
    Finding f = entryFinding(Problem::NameRepeated, slot);
    setOther(&f, holder);
    f.newName = uniqueName(e.nameView());
    report(f);
    std::memset(e.name, 0, NameFieldSize);
    std::memcpy(e.name, f.newName.data(), f.newName.size());
    change(slot);
    names_.insert(slot);
  }
}

// "base~k" for the smallest k not taken, the base shortened to fit. Distinct
// k give distinct names, so fewer than entries + 2 tries find a free one.
std::string Checker::uniqueName(std::string_view base) const {
  for (uint64_t k = 1; k <= entries_.size() + 1; ++k) {
    std::string suffix = "~" + std::to_string(k);
    std::string name(base.substr(0, MaxNameLength - suffix.size()));
    name += suffix;
    uint32_t holder = 0;
    if (!names_.find(name, &holder)) return name;
  }
  return {};  // not reached
}

BlockState Checker::blockState(uint32_t block) const {
  bool owned = owner_[block] != 0;
  bool marked = testBit(bitmap_.data(), block);
  if (owned) return marked ? BlockState::Fine : BlockState::Unmarked;
  if (marked) return BlockState::Leaked;
  return testBit(notZero_.data(), block) ? BlockState::NotZero : BlockState::Fine;
}

// Compares the bitmap with the blocks the kept chains own, one finding per
// run of blocks in the same state.
void Checker::checkBlocks() {
  uint32_t n = blockCount();
  for (uint32_t block = 0; block < n;) {
    BlockState st = blockState(block);
    uint32_t end = block + 1;
    while (end < n && blockState(end) == st) ++end;
    if (st != BlockState::Fine) {
      Finding f{st == BlockState::Unmarked ? Problem::BlocksUnmarked
                : st == BlockState::Leaked ? Problem::BlocksLeaked
                                           : Problem::FreeBlocksNotZero};
      f.first = block, f.last = end - 1;
      report(f);
      if (st != BlockState::Unmarked) toZero_.push_back({block, end - block});
    }
    block = end;
  }
}

void Checker::summarize(CheckSummary* out) const {
  out->blockCount = blockCount();
  out->problems = problems_;
  for (uint32_t b = 0; b < blockCount(); ++b) {
    bool used = opt_.repair ? owner_[b] != 0 : testBit(bitmap_.data(), b);
    out->usedBlocks += used;
  }
  out->files = opt_.repair ? std::count_if(state_.begin(), state_.end(),
                                           [](SlotState s) { return s != SlotState::Dropped; })
                           : entries_.size();
}

// ---- mending ---------------------------------------------------------------
// The order follows the rules korvane's own writes keep: a block's bit is
// set before anything new points to it, links and entries shrink before the
// blocks they let go of are freed, each step is on disk before the next one
// depends on it, and tableEnd moves last among the table's writes. A crash at
// any point leaves an image a second run mends the same way.

Status Checker::repair() {
  if (Status s = writeBitmap(true); !s.ok()) return s;
  if (Status s = file_.sync(); !s.ok()) return s;
  unsigned char end[LinkSize];
  encodeU32(end, EndOfChain);
  for (uint32_t block : cuts_)
    if (Status s = writeAt(file_, blockOffset(block) + BlockPayload, end, LinkSize); !s.ok())
      return s;
  if (Status s = writeChangedEntries(); !s.ok()) return s;
  if (Status s = file_.sync(); !s.ok()) return s;
  if (Status s = compactTable(); !s.ok()) return s;
  if (Status s = zeroFreed(); !s.ok()) return s;
  if (Status s = file_.sync(); !s.ok()) return s;
  if (Status s = writeBitmap(false); !s.ok()) return s;
  return file_.sync();
}

// Writes the bitmap that marks every owned block, keeping the bits of
// leaked blocks while something may still point to them; spare bits clear.
Status Checker::writeBitmap(bool keepLeaked) {
  std::vector<unsigned char> want(bitmap_.size(), 0);
  for (uint32_t b = 0; b < blockCount(); ++b)
    if (owner_[b] != 0 || (keepLeaked && testBit(bitmap_.data(), b))) setBit(want.data(), b);
  size_t lo = 0, hi = want.size();
  while (lo < hi && want[lo] == bitmap_[lo]) ++lo;
  while (hi > lo && want[hi - 1] == bitmap_[hi - 1]) --hi;
  if (lo == hi) return {};
  if (Status s = writeAt(file_, HeaderSize + lo, want.data() + lo, hi - lo); !s.ok()) return s;
  bitmap_ = std::move(want);
  return {};
}

Status Checker::writeSlots(uint64_t firstSlot, const std::vector<const FileEntry*>& entries) {
  std::vector<unsigned char> raw(entries.size() * FileEntrySize);
  for (size_t i = 0; i < entries.size(); ++i) encodeEntry(raw.data() + i * FileEntrySize, *entries[i]);
  return writeAt(file_, slotOffset(firstSlot), raw.data(), raw.size());
}

// Mended entries go back into their own slots: one write per window of the
// table, from its first changed slot to its last. The slots in between are
// written with the bytes they hold on disk, which no crash can spoil.
Status Checker::writeChangedEntries() {
  std::vector<const FileEntry*> span;
  for (size_t base = 0; base < entries_.size(); base += TableBatch) {
    size_t end = std::min(base + TableBatch, entries_.size());
    size_t lo = end, hi = base;
    for (size_t slot = base; slot < end; ++slot) {
      if (state_[slot] != SlotState::Changed) continue;
      lo = std::min(lo, slot);
      hi = slot + 1;
    }
    span.clear();
    for (size_t slot = lo; slot < hi; ++slot) span.push_back(&entries_[slot]);
    if (!span.empty())
      if (Status s = writeSlots(lo, span); !s.ok()) return s;
  }
  return {};
}

// Moves the kept entries down over the dropped ones, lowest first, so a
// crash shows an entry twice at worst, then commits the shorter table.
Status Checker::compactTable() {
  auto firstDropped = std::find(state_.begin(), state_.end(), SlotState::Dropped);
  if (firstDropped == state_.end()) return {};
  uint64_t to = static_cast<uint64_t>(firstDropped - state_.begin());
  std::vector<const FileEntry*> batch;
  for (uint64_t from = to; from <= entries_.size(); ++from) {
    bool kept = from < entries_.size() && state_[from] != SlotState::Dropped;
    if (kept && batch.size() < TableBatch) {
      batch.push_back(&entries_[from]);
      continue;
    }
    if (!batch.empty())
      if (Status s = writeSlots(to, batch); !s.ok()) return s;
    to += batch.size();
    batch.clear();
    if (kept) batch.push_back(&entries_[from]);
  }
  if (Status s = file_.sync(); !s.ok()) return s;
  unsigned char raw[4];
  encodeU32(raw, static_cast<uint32_t>(slotOffset(to)));
  if (Status s = writeAt(file_, TableEndOffset, raw, sizeof raw); !s.ok()) return s;
  return file_.sync();
}

Status Checker::zeroFreed() {
  for (const Run& r : toZero_)
    if (Status s = file_.zeroRange(blockOffset(r.first), uint64_t{r.count} * BlockSize); !s.ok())
      return s;
  return {};
}

Status Checker::run(CheckSummary* out) {
  bool sound = false;
  if (Status s = checkHeader(&sound); !s.ok()) return s;
  out->problems = problems_;
  if (!sound) return {};
  out->headerSound = true;
  if (Status s = readBitmap(); !s.ok()) return s;
  if (Status s = readTable(); !s.ok()) return s;
  if (Status s = sweepData(); !s.ok()) return s;
  checkSpareBits();
  owner_.assign(blockCount(), 0);
  names_.reserve(entries_.size());
  for (uint32_t slot = 0; slot < entries_.size(); ++slot) checkEntry(slot);
  renameRepeats();
  checkBlocks();
  if (opt_.repair && problems_ > 0)
    if (Status s = repair(); !s.ok()) return s;
  summarize(out);
  out->fixed = opt_.repair ? mendable_ : 0;
  return {};
}

}  // namespace

Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  const FindingSink& sink, CheckSummary* out) {
  *out = {};
  std::unique_ptr<File> f;
  OpenMode mode = options.repair ? OpenMode::ReadWrite : OpenMode::Read;
  if (Status s = openImageFile(env, path, mode, LockMode::Exclusive, options.lockWaitMs, &f);
      !s.ok())
    return s;
  Checker checker(*f, options, sink);
  if (Status s = checker.run(out); !s.ok()) return s;
  return f->close();
}

Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  std::vector<Finding>* findings, CheckSummary* out) {
  return checkImage(
      env, path, options, [findings](const Finding& f) { findings->push_back(f); }, out);
}

}  // namespace korvane
