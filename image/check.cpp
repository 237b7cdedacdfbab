#include "image/check.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <unordered_map>

#include "image/chain.h"
#include "image/primitives.h"
#include "image/table.h"

namespace korvane {
namespace {

constexpr uint32_t SweepBlocks = 256;  // 1 MiB of data area per read
// Writes tear at sector boundaries: a slot that straddles one can land in part.
constexpr uint64_t SectorSize = 512;

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

bool allZero(const unsigned char* p, size_t n) {
  unsigned char acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc == 0;
}

bool sameEntry(const FileEntry& a, const FileEntry& b) {
  return a.firstBlock == b.firstBlock && a.fileSize == b.fileSize &&
         a.lastBlockBytes == b.lastBlockBytes && a.nameView() == b.nameView();
}

bool terminated(const FileEntry& e) { return std::memchr(e.name, 0, NameFieldSize) != nullptr; }

bool emptySlot(const FileEntry& e) {
  unsigned char raw[FileEntrySize];
  encodeEntry(raw, e);
  return allZero(raw, FileEntrySize);
}

// The size a chain of `blocks` blocks has when its last one holds
// `lastBytes`, if that count can be one.
bool sizeFromChain(uint32_t blocks, uint32_t lastBytes, uint32_t* size) {
  if (lastBytes > BlockPayload || (lastBytes == 0 && blocks != 1)) return false;
  uint64_t s = uint64_t{BlockPayload} * (blocks - 1) + lastBytes;
  if (s > MaxFileSize) return false;
  *size = static_cast<uint32_t>(s);
  return true;
}

// The block count whose geometry gives exactly `value` for `of`, if any.
template <class Of>
bool solveBlocks(uint64_t value, Of of, uint32_t* n) {
  uint32_t lo = 0, hi = MaxBlockCount;
  while (lo < hi) {  // the first count whose `of` reaches value
    uint32_t mid = lo + (hi - lo) / 2;
    if (of(mid) < value) lo = mid + 1; else hi = mid;
  }
  *n = lo;
  return of(lo) == value;
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

// The halves of slots on either side of the sector boundary that falls in
// the slots straddling one: for each half some straddling slot holds, the
// first slot holding it and the first after that whose other half differs
// from the first one's. Memory grows with the straddling slots only.
class HalfIndex {
 public:
  static constexpr uint32_t None = ~uint32_t{0};

  HalfIndex(uint32_t split, bool tail) : split_(split), tail_(tail) {}
  void want(const unsigned char* raw) { map_.try_emplace(std::string(side(raw, tail_))); }
  void see(uint32_t slot, const unsigned char* raw) {
    auto it = map_.find(side(raw, tail_));
    if (it == map_.end()) return;
    Witness& w = it->second;
    std::string_view other = side(raw, !tail_);
    if (w.first == None) w.first = slot, w.firstOther = other;
    else if (w.second == None && other != w.firstOther) w.second = slot, w.secondOther = other;
  }
  // A slot but `slot` holding the same half as `raw` and another other
  // half, or None. One of the two witnesses is such a slot if any is.
  uint32_t match(uint32_t slot, const unsigned char* raw) const {
    const Witness& w = map_.find(side(raw, tail_))->second;
    std::string_view other = side(raw, !tail_);
    if (w.first != None && w.first != slot && w.firstOther != other) return w.first;
    if (w.second != None && w.second != slot && w.secondOther != other) return w.second;
    return None;
  }

 private:
  struct Witness {
    uint32_t first = None, second = None;
    std::string firstOther, secondOther;
  };
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view v) const { return std::hash<std::string_view>{}(v); }
  };
  std::string_view side(const unsigned char* raw, bool tail) const {
    const char* p = reinterpret_cast<const char*>(raw);
    if (tail) return {p + split_, FileEntrySize - split_};
    return {p, split_};
  }

  uint32_t split_;
  bool tail_;
  std::unordered_map<std::string, Witness, Hash, std::equal_to<>> map_;
};

class Checker {
 public:
  Checker(std::unique_ptr<File> f, const CheckOptions& o, const FindingSink& sink)
      : own_(std::move(f)), file_(*own_), opt_(o), sink_(sink), names_(entries_) {}

  Status run(CheckSummary* out);
  // The file stays the same object when the image takes it over.
  Status close() { return file_.close(); }

 private:
  // Reading and judging.
  Status settleGeometry(bool* settled);
  void reportHeader(Problem kind, uint64_t value, uint64_t expected, bool mendable);
  Status readBitmap();
  Status readTable();
  Status sweepData();
  void settleTableEnd();
  void checkSpareBits();
  bool straddles(uint32_t slot) const;
  void dropTornSlots();
  void prepare(uint32_t slot);
  bool wholeOnItsOwn(uint32_t slot, uint64_t* budget) const;
  bool claimWhole(uint32_t slot, std::vector<uint32_t>* losers);
  uint32_t before(uint32_t first, uint32_t b) const;
  bool winsContest(const FileEntry& mine, uint32_t prev, const FileEntry& theirs,
                   uint32_t theirPrev, uint32_t b);
  void release(uint32_t slot);
  void claimFirstBlock(uint32_t slot);
  void walkChain(uint32_t slot);
  void judgeWalk(uint32_t slot, Walk& w);
  uint32_t followUnclaimed(uint32_t from, uint32_t limit) const;
  void claimRest(uint32_t slot, uint32_t from, Walk* w);
  void cutChain(uint32_t slot, const Walk& w);
  void setSize(uint32_t slot, uint32_t size, uint32_t blocks, uint64_t value);
  void checkLastBlockBytes(uint32_t slot);
  void takeBackHidden();
  bool hiddenWhole(uint32_t slot, uint64_t* budget) const;
  void findOrphans();
  Orphan* orphanFor(uint32_t blocks, uint32_t lastBytes, uint32_t bad, bool anyFits);
  void claimOrphan(uint32_t slot, Orphan& o);
  void rejoin();
  void salvage();
  void collectNames(std::vector<uint32_t>* repeats);
  void nameEntries();
  std::string uniqueName(std::string_view base) const;
  BlockState blockState(uint32_t block);
  void checkBlocks();
  void summarize(CheckSummary* out) const;

  // Mending.
  Status repair();
  Status writeHeader();
  Status clearSpareBits();
  Status writeLinks();
  Status commitRepair();

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
  bool holdsData(uint32_t block);
  uint32_t lastUsed(uint32_t block);
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

// ---- the header -------------------------------------------------------------

void Checker::reportHeader(Problem kind, uint64_t value, uint64_t expected, bool mendable) {
  Finding f{kind};
  f.first = n_;
  f.value = value;
  f.expected = expected;
  f.mendable = mendable;
  report(f);
}

// Every other structure is found through the block count, so it is only
// changed where two witnesses agree on another: the file's length (exact
// for any image not longer than its header says) and dataOffset, which
// both follow from it. Where they disagree the header is reported and left.
Status Checker::settleGeometry(bool* settled) {
  *settled = false;
  uint64_t length = 0;
  if (Status s = readHeader(file_, &header_, &length); !s.ok()) return s;
  const Header& h = header_;
  HeaderVerdict verdict = judgeHeader(length, h);
  bool geometry = length >= HeaderSize && h.blockCount <= MaxBlockCount &&
                  h.dataOffset == dataOffsetFor(h.blockCount) &&
                  length >= imageBytes(h.blockCount);
  n_ = h.blockCount;
  if (!geometry) {
    uint32_t byLength = 0, byOffset = 0;
    bool fromLength = length >= HeaderSize && solveBlocks(length, imageBytes, &byLength);
    bool fromOffset = solveBlocks(h.dataOffset, dataOffsetFor, &byOffset);
    bool agree = fromLength && ((fromOffset && byOffset == byLength) || h.blockCount == byLength);
    if (!agree) {
      n_ = h.blockCount <= MaxBlockCount ? h.blockCount : 0;
      for (int i = 0; i < verdict.count; ++i)
        reportHeader(headerProblem(verdict.faults[i].rule), verdict.faults[i].value,
                     verdict.faults[i].expected, false);
      return {};
    }
    n_ = byLength;
    if (h.blockCount != n_) reportHeader(Problem::BlockCountWrong, h.blockCount, n_, true);
    if (h.dataOffset != dataOffsetFor(n_))
      reportHeader(Problem::DataOffsetWrong, h.dataOffset, dataOffsetFor(n_), true);
    headerChanged_ = true;
  }
  dataOffset_ = static_cast<uint32_t>(dataOffsetFor(n_));
  *settled = true;
  return {};
}

// A tableEnd outside the table or off a slot boundary is replaced by the
// end of the slots in use: those before the first empty one. One that is
// sound is kept here, and may later move over whole entries it hides.
void Checker::settleTableEnd() {
  uint64_t start = tableStart(n_);
  uint32_t end = header_.tableEnd;
  bool inTable = end >= start && end <= dataOffset_;
  if (inTable && (end - start) % FileEntrySize == 0) {
    count_ = static_cast<uint32_t>((end - start) / FileEntrySize);
    return;
  }
  count_ = 0;
  while (count_ < n_ && !emptySlot(entries_[count_])) ++count_;
  tableEndBad_ = true;
  reportHeader(inTable ? Problem::TableEndMisaligned : Problem::TableEndOutOfRange, end,
               slotOffset(count_), true);
}

Status Checker::readBitmap() {
  bitmap_.resize(static_cast<size_t>(bitmapBytes(n_)));
  return readExact(file_, HeaderSize, bitmap_.data(), bitmap_.size());
}

// The whole table, used slots or not: a damaged tableEnd may hide entries.
Status Checker::readTable() {
  entries_.reserve(n_);
  std::vector<unsigned char> raw;
  for (uint64_t first = 0; first < n_; first += TableBatch) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(TableBatch, n_ - first));
    raw.resize(n * FileEntrySize);
    if (Status s = readExact(file_, slotOffset(first), raw.data(), raw.size()); !s.ok()) return s;
    for (size_t i = 0; i < n; ++i) entries_.push_back(decodeEntry(raw.data() + i * FileEntrySize));
  }
  return {};
}

// Reads the whole data area once, in large sequential runs, keeping each
// block's link and whether a block marked free holds anything but zeros.
// Chains are then walked in memory, whatever order their blocks lie in.
Status Checker::sweepData() {
  next_.assign(n_, 0);
  notZero_.assign(bitmap_.size(), 0);
  judged_.assign(bitmap_.size(), 0);
  std::vector<unsigned char> buf(size_t{SweepBlocks} * BlockSize);
  for (uint32_t start = 0; start < n_; start += SweepBlocks) {
    uint32_t n = std::min(SweepBlocks, n_ - start);
    if (Status s = readExact(file_, blockOffset(start), buf.data(), size_t{n} * BlockSize);
        !s.ok())
      return s;
    for (uint32_t i = 0; i < n; ++i) {
      const unsigned char* block = buf.data() + size_t{i} * BlockSize;
      next_[start + i] = decodeU32(block + BlockPayload);
      if (!marked(start + i) && !allZero(block, BlockSize)) setBit(notZero_.data(), start + i);
    }
  }
  return {};
}

// Whether a block holds a byte that is not zero. Free blocks were judged as
// the data area was swept; one marked used is read when first asked, which
// is only for the few that no file holds.
bool Checker::holdsData(uint32_t block) {
  if (marked(block) && !testBit(judged_.data(), block)) {
    setBit(judged_.data(), block);
    if (lastUsed(block) > 0 || next_[block] != 0) setBit(notZero_.data(), block);
  }
  return testBit(notZero_.data(), block);
}

// The payload bytes of a block up to its last one that is not zero: a
// file's last block holds zeros past its lastBlockBytes. A block that cannot
// be read fits no count.
uint32_t Checker::lastUsed(uint32_t block) {
  std::vector<unsigned char> buf(BlockPayload);
  if (Status s = readExact(file_, blockOffset(block), buf.data(), buf.size()); !s.ok()) {
    if (readFailure_.ok()) readFailure_ = s;  // the check stops before any repair
    return EndOfChain;
  }
  uint32_t used = BlockPayload;
  while (used > 0 && buf[used - 1] == 0) --used;
  return used;
}

void Checker::checkSpareBits() {
  uint32_t used = n_ % 8;
  if (used == 0) return;
  unsigned char spare =
      bitmap_.back() & static_cast<unsigned char>(~blockBitsOf(bitmap_.size() - 1, n_));
  if (spare == 0) return;
  uint32_t base = n_ - used;
  spareBits_ = true;
  Finding f{Problem::SpareBitsSet};
  f.first = base + static_cast<uint32_t>(std::countr_zero(spare));
  f.last = base + 7 - static_cast<uint32_t>(std::countl_zero(spare));
  report(f);
}

// ---- entries and their chains ------------------------------------------------

bool Checker::straddles(uint32_t slot) const {
  return slotOffset(slot) / SectorSize != (slotOffset(slot) + FileEntrySize - 1) / SectorSize;
}

// A write cut by a power cut may land a slot that straddles a sector
// boundary in part: one version's bytes before the boundary, another's
// after it. Each version is whole in another slot: a moved entry in the
// slot it came from, and the old and new bytes of a changed straddling slot
// in the copies its change keeps past the table. So a slot is torn when its
// head is some slot's whose tail differs and its tail some slot's whose
// head differs. On a sound image none is: with the boundary 12 bytes in or
// more the head holds firstBlock, which no two files share; before that
// the tail holds the whole name. A torn slot goes, and the entry it held is
// found whole where it is.
void Checker::dropTornSlots() {
  auto split = static_cast<uint32_t>(FileEntrySize - tableStart(n_) % FileEntrySize);
  if (split == FileEntrySize) return;  // sectors hold whole slots
  HalfIndex heads(split, false), tails(split, true);
  unsigned char raw[FileEntrySize];
  bool any = false;
  for (uint32_t slot = 0; slot < count_; ++slot) {
    if (!straddles(slot)) continue;
    encodeEntry(raw, entries_[slot]);
    heads.want(raw), tails.want(raw), any = true;
  }
  for (uint32_t slot = 0; any && slot < n_; ++slot)
    encodeEntry(raw, entries_[slot]), heads.see(slot, raw), tails.see(slot, raw);
  for (uint32_t slot = 0; slot < count_; ++slot) {
    if (!straddles(slot)) continue;
    encodeEntry(raw, entries_[slot]);
    uint32_t head = heads.match(slot, raw), tail = tails.match(slot, raw);
    if (head == HalfIndex::None || tail == HalfIndex::None) continue;
    witnessEnd_ = std::max({witnessEnd_, uint64_t{head} + 1, uint64_t{tail} + 1});
    Finding f = entryFinding(Problem::EntryTorn, slot);
    setOther(&f, head);
    drop(slot);
    report(f);
  }
}

// Mends what an entry's own bytes show: an empty slot, a name without its
// NUL.
void Checker::prepare(uint32_t slot) {
  FileEntry& e = entries_[slot];
  // An entry of zeros names an empty file without a name in block 0; it is
  // only an empty slot when block 0 does not end such a file.
  if (emptySlot(e) && (n_ == 0 || next_[0] != EndOfChain)) {
    drop(slot);
    return report(entryFinding(Problem::EntryEmpty, slot));
  }
  if (!terminated(e)) {
    report(entryFinding(Problem::NameUnterminated, slot));
    e.name[MaxNameLength] = 0;
    change(slot);
  }
}

// Whether the entry's chain, on its own, is exactly what its size and
// lastBlockBytes say: every witness agrees. `budget` bounds the hops of all
// these walks together, as damaged chains may overlap; once it is spent,
// entries are walked the careful way instead.
bool Checker::wholeOnItsOwn(uint32_t slot, uint64_t* budget) const {
  const FileEntry& e = entries_[slot];
  uint64_t need = blocksForFile(e.fileSize);
  if (e.firstBlock >= n_ || need > n_ || need > *budget ||
      e.lastBlockBytes != lastBlockBytesFor(e.fileSize))
    return false;
  *budget -= need;
  uint32_t b = e.firstBlock;
  // A chain that loops never reaches EndOfChain, so need hops decide.
  for (uint64_t i = 1; i < need; ++i) {
    if (next_[b] >= n_) return false;
    b = next_[b];
  }
  return next_[b] == EndOfChain;
}

// The block before `b` in the chain from `first`, or EndOfChain when `b`
// starts it; the chain is one a whole entry holds.
uint32_t Checker::before(uint32_t first, uint32_t b) const {
  uint32_t prev = EndOfChain;
  for (uint32_t at = first; at != b; at = next_[at]) prev = at;
  return prev;
}

void Checker::release(uint32_t slot) {
  for (uint32_t b = entries_[slot].firstBlock;; b = next_[b]) {
    owner_[b] = 0;
    if (next_[b] == EndOfChain) return;
  }
}

// Two whole files meet at block `b` where damage turned a link or a first
// block into the other's chain; `mine` reaches it from block `prev` and
// `theirs` from `theirPrev` (EndOfChain: it starts there). The shared tail
// goes to the file whose lastBlockBytes is exactly what its last block
// holds (a file's last block is zero past its data), else to the one that
// reaches it from the block just before it (files are laid out in
// ascending runs), else to the one whose chain starts there, else to the
// earlier. True when `mine` wins.
bool Checker::winsContest(const FileEntry& mine, uint32_t prev, const FileEntry& theirs,
                          uint32_t theirPrev, uint32_t b) {
  uint32_t last = b;
  while (next_[last] != EndOfChain) last = next_[last];
  uint32_t used = lastUsed(last);
  bool mineExact = used == mine.lastBlockBytes;
  bool theirsExact = used == theirs.lastBlockBytes;
  if (mineExact != theirsExact) return mineExact;
  bool mineNext = prev != EndOfChain && prev + 1 == b;
  bool theirsNext = theirPrev != EndOfChain && theirPrev + 1 == b;
  if (mineNext != theirsNext) return mineNext;
  return prev == EndOfChain && theirPrev != EndOfChain;
}

// A whole entry takes its chain unless an earlier whole one holds part of
// it. An exact repeat of that one is what an erase cut short leaves; a
// contest lost sends the loser to be walked with the other entries.
bool Checker::claimWhole(uint32_t slot, std::vector<uint32_t>* losers) {
  const FileEntry& e = entries_[slot];
  uint32_t prev = EndOfChain;
  for (uint32_t b = e.firstBlock;; prev = b, b = next_[b]) {
    if (owner_[b] != 0) {
      uint32_t other = owner_[b] - 1;
      const FileEntry& o = entries_[other];
      if (b == e.firstBlock && sameEntry(o, e)) {
        Finding f = entryFinding(Problem::EntryRepeated, slot);
        setOther(&f, other);
        drop(slot);
        report(f);
        return true;
      }
      if (!winsContest(e, prev, o, before(o.firstBlock, b), b)) return false;
      release(other);
      losers->push_back(other);
    }
    if (next_[b] == EndOfChain) break;
  }
  for (uint32_t b = e.firstBlock;; b = next_[b]) {
    owner_[b] = slot + 1;
    if (next_[b] == EndOfChain) return true;
  }
}

// For the other entries, first blocks are claimed before any of their
// chains is walked: a block that starts an entry belongs to it before a
// chain that runs into it.
void Checker::claimFirstBlock(uint32_t slot) {
  FileEntry& e = entries_[slot];
  if (e.firstBlock < n_ && owner_[e.firstBlock] != 0) {
    uint32_t other = owner_[e.firstBlock] - 1;
    if (sameEntry(entries_[other], e)) {
      Finding f = entryFinding(Problem::EntryRepeated, slot);
      setOther(&f, other);
      drop(slot);
      return report(f);
    }
  }
  bool leadsNowhere = e.firstBlock >= n_ || owner_[e.firstBlock] != 0 ||
                      (!marked(e.firstBlock) && !holdsData(e.firstBlock));
  if (leadsNowhere) return needFirst_.push_back(slot);
  owner_[e.firstBlock] = slot + 1;
}

// Claims the chain's blocks for the entry, one hop per block, up to the
// blocks its size needs, and stops at its end or at the first damage.
// Every hop claims a block no file held before, so the walks of all entries
// together take at most blockCount hops.
void Checker::walkChain(uint32_t slot) {
  uint64_t need = blocksForFile(entries_[slot].fileSize);
  Walk w;
  w.last = entries_[slot].firstBlock;
  w.count = 1;
  for (;;) {
    w.link = next_[w.last];
    if (w.link == EndOfChain && w.count == need) return checkLastBlockBytes(slot);
    if (w.link == EndOfChain || w.count == need || w.link >= n_ || owner_[w.link] != 0) {
      w.end = w.link == EndOfChain ? WalkEnd::Short
              : w.count == need    ? WalkEnd::Long
                                   : WalkEnd::Broken;
      pending_.emplace_back(slot, w);
      return;
    }
    owner_[w.link] = slot + 1;
    w.last = w.link;
    ++w.count;
  }
}

// The blocks from `from` on that no file holds, up to EndOfChain: how many,
// or 0 when the chain does not end there within `limit` hops.
uint32_t Checker::followUnclaimed(uint32_t from, uint32_t limit) const {
  uint32_t count = 0;
  for (uint32_t b = from; count < limit; b = next_[b]) {
    if (b >= n_ || owner_[b] != 0) return 0;
    ++count;
    if (next_[b] == EndOfChain) return count;
  }
  return 0;
}

// Claims the chain from `from` to its EndOfChain for the entry.
void Checker::claimRest(uint32_t slot, uint32_t from, Walk* w) {
  for (uint32_t b = from;; b = next_[b]) {
    owner_[b] = slot + 1;
    w->last = b;
    ++w->count;
    if (next_[b] == EndOfChain) break;
  }
  w->link = EndOfChain;
  w->end = WalkEnd::Whole;
}

void Checker::setSize(uint32_t slot, uint32_t size, uint32_t blocks, uint64_t value) {
  FileEntry& e = entries_[slot];
  Finding f = entryFinding(Problem::SizeWrong, slot);
  f.value = value;
  f.expected = size;
  f.first = blocks;
  f.keptBytes = size;
  report(f);
  e.fileSize = size;
  e.lastBlockBytes = lastBlockBytesFor(size);
  change(slot);
}

// Judges a walk by every witness of the file's size: fileSize, the chain's
// length, and lastBlockBytes. Where the chain and lastBlockBytes agree
// against fileSize, they win; a chain that runs on past the size is taken
// whole when it ends in blocks no file holds and lastBlockBytes agrees.
void Checker::judgeWalk(uint32_t slot, Walk& w) {
  FileEntry& e = entries_[slot];
  uint32_t size = 0;
  if (w.end == WalkEnd::Long) {
    uint32_t extra = followUnclaimed(w.link, n_);
    bool lastAgrees = e.lastBlockBytes == lastBlockBytesFor(e.fileSize);
    if (extra > 0 && !lastAgrees && sizeFromChain(w.count + extra, e.lastBlockBytes, &size)) {
      claimRest(slot, w.link, &w);
      return setSize(slot, size, w.count, e.fileSize);
    }
    Finding f = entryFinding(Problem::ChainNotEnded, slot);
    f.first = w.last, f.value = w.link;
    report(f);
    cuts_.push_back({w.last, EndOfChain});
  } else if (w.end == WalkEnd::Short) {
    // lastBlockBytes sides with the chain, or with fileSize: then the chain
    // lost its end, which may yet be found.
    if (e.lastBlockBytes == lastBlockBytesFor(e.fileSize)) {
      w.end = WalkEnd::Broken;
      return;
    }
    if (sizeFromChain(w.count, e.lastBlockBytes, &size))
      return setSize(slot, size, w.count, e.fileSize);
    Finding f = entryFinding(Problem::ChainTooShort, slot);
    f.value = w.count, f.expected = blocksForFile(e.fileSize);
    f.keptBytes = uint64_t{w.count} * BlockPayload;
    report(f);
    e.fileSize = w.count * BlockPayload;  // below the old size, so it fits
    e.lastBlockBytes = BlockPayload;
    return change(slot);
  } else if (w.end == WalkEnd::Broken) {
    return;  // the rest of the chain may yet be found
  }
  checkLastBlockBytes(slot);
}

// Keeps the blocks walked so far, each a full one: the file keeps every
// byte its chain still leads to.
void Checker::cutChain(uint32_t slot, const Walk& w) {
  FileEntry& e = entries_[slot];
  Finding f = entryFinding(Problem::LinkOutOfRange, slot);
  f.first = w.last, f.value = w.link, f.expected = w.count;
  if (w.link == EndOfChain) {
    f.kind = Problem::ChainTooShort;
    f.value = w.count, f.expected = blocksForFile(e.fileSize);
  }
  if (w.link < n_ && owner_[w.link] == slot + 1) f.kind = Problem::ChainLoops;
  if (w.link < n_ && owner_[w.link] != 0 && owner_[w.link] != slot + 1) {
    f.kind = Problem::ChainCrosses;
    setOther(&f, owner_[w.link] - 1);
  }
  f.keptBytes = uint64_t{w.count} * BlockPayload;
  report(f);
  if (w.link != EndOfChain) cuts_.push_back({w.last, EndOfChain});
  e.fileSize = w.count * BlockPayload;  // below the old size, so it fits
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

// Entries past the table's end that are whole files join it, in slot
// order: a change cut before its commit leaves there the entries it
// appended and copies of those it moved, and a rename over a file cut
// between its commits leaves the renamed entry there. A bit is set only
// once the block's data is durable, and cleared in the commit of an erase,
// so an entry is one when its name is its own, its chain is exactly what
// its size needs and no kept file holds any of it, and every block is
// marked.
// The walks together take at most 2 x blockCount hops.
void Checker::takeBackHidden() {
  uint64_t budget = 2 * uint64_t{n_};
  uint32_t taken = 0;
  for (uint32_t slot = count_; slot < n_; ++slot) {
    if (!hiddenWhole(slot, &budget)) continue;
    state_[slot] = SlotState::Kept;
    names_.insert(slot);
    Walk w;
    claimRest(slot, entries_[slot].firstBlock, &w);
    ++taken;
  }
  if (taken == 0) return;
  Finding f{Problem::TableEndHidesEntries};
  f.first = n_, f.value = slotOffset(count_), f.expected = slotOffset(count_ + taken);
  f.last = taken;
  report(f);
}

bool Checker::hiddenWhole(uint32_t slot, uint64_t* budget) const {
  const FileEntry& e = entries_[slot];
  uint32_t holder = 0;
  uint64_t need = blocksForFile(e.fileSize);
  if (!judgeEntry(n_, e) || e.nameView().empty() || names_.find(e.nameView(), &holder) ||
      need > *budget)
    return false;
  *budget -= need;
  // A chain that loops never reaches EndOfChain, so need hops decide.
  for (uint32_t b = e.firstBlock, i = 1;; b = next_[b], ++i) {
    if (owner_[b] != 0 || !marked(b)) return false;
    if (i == need) return next_[b] == EndOfChain;
    if (next_[b] >= n_) return false;
  }
}

// Chains of blocks no file holds that hold data and end in EndOfChain: a
// head is such a block that no other one links to. A block of zeros holds
// nothing, however it is marked.
void Checker::findOrphans() {
  auto candidate = [this](uint32_t b) { return b < n_ && owner_[b] == 0 && holdsData(b); };
  std::vector<unsigned char> linked(bitmap_.size(), 0), seen(bitmap_.size(), 0);
  for (uint32_t b = 0; b < n_; ++b)
    if (candidate(b) && candidate(next_[b])) setBit(linked.data(), next_[b]);
  for (uint32_t head = 0; head < n_; ++head) {
    if (!candidate(head) || testBit(linked.data(), head)) continue;
    bool allMarked = true;
    uint32_t count = 0;
    // Each walk stops at a block an earlier one saw, so between them they
    // visit every block at most once, and no two orphans share a block.
    for (uint32_t b = head; candidate(b) && !testBit(seen.data(), b); b = next_[b]) {
      setBit(seen.data(), b);
      allMarked = allMarked && marked(b);
      ++count;
      if (next_[b] == EndOfChain) {
        orphans_.push_back({head, count, lastUsed(b), allMarked});
        break;
      }
    }
  }
}

// Whether two block numbers differ in one byte at most: what a damaged bit
// or byte leaves of a link or a first block.
bool nearby(uint32_t a, uint32_t b) {
  uint32_t x = a ^ b;
  for (uint32_t lane = 0xFF; lane != 0; lane <<= 8)
    if ((x & lane) == x) return true;
  return false;
}

// The unclaimed orphan of exactly `blocks` blocks whose last one holds no
// more than `lastBytes` bytes that fits best: its head near `bad` (the
// value damage left where its head belonged), its last block holding
// exactly `lastBytes`. A tie fits nothing; so does a far one unless
// `anyFits`.
Orphan* Checker::orphanFor(uint32_t blocks, uint32_t lastBytes, uint32_t bad, bool anyFits) {
  Orphan* best = nullptr;
  int bestScore = -1, ties = 0;
  for (Orphan& o : orphans_) {
    if (o.taken || o.count != blocks || o.lastUsed > lastBytes) continue;
    // Nearness outweighs a last block that holds exactly lastBytes.
    int score = 2 * nearby(o.head, bad) + (o.lastUsed == lastBytes);
    if (score > bestScore) best = &o, bestScore = score, ties = 0;
    else if (score == bestScore) ++ties;
  }
  if (!best || ties > 0) return nullptr;
  return bestScore >= 2 || anyFits ? best : nullptr;
}

void Checker::claimOrphan(uint32_t slot, Orphan& o) {
  o.taken = true;
  for (uint32_t b = o.head, i = 0; i < o.count; ++i, b = next_[b]) owner_[b] = slot + 1;
}

// Entries whose chain broke off, or whose first block leads nowhere of
// theirs, get back the orphan that holds exactly their missing blocks.
// What finds no orphan is cut at the damage, or dropped.
void Checker::rejoin() {
  findOrphans();
  for (auto& [slot, w] : pending_) {
    if (w.end != WalkEnd::Broken) continue;
    uint64_t missing = blocksForFile(entries_[slot].fileSize) - w.count;
    const FileEntry& e = entries_[slot];
    Orphan* o = orphanFor(static_cast<uint32_t>(missing), lastBlockBytesFor(e.fileSize), w.link, true);
    if (!o) {
      cutChain(slot, w);
      continue;
    }
    Finding f = entryFinding(Problem::ChainRejoined, slot);
    f.first = w.last, f.value = w.link, f.expected = o->head;
    report(f);
    claimOrphan(slot, *o);
    relinks_.push_back({w.last, o->head});
    w.end = WalkEnd::Whole;
    checkLastBlockBytes(slot);
  }
  for (uint32_t slot : needFirst_) {
    FileEntry& e = entries_[slot];
    // A first block another file starts in is weaker evidence than one
    // outside the image or holding nothing: only a near orphan will do.
    bool taken = e.firstBlock < n_ && owner_[e.firstBlock] != 0;
    Orphan* o = orphanFor(static_cast<uint32_t>(blocksForFile(e.fileSize)),
                          lastBlockBytesFor(e.fileSize), e.firstBlock, !taken);
    if (o) {
      Finding f = entryFinding(Problem::FirstBlockFound, slot);
      f.value = e.firstBlock, f.first = o->head;
      report(f);
      claimOrphan(slot, *o);
      e.firstBlock = o->head;
      change(slot);
      checkLastBlockBytes(slot);
      continue;
    }
    Finding f = entryFinding(Problem::FirstBlockOutOfRange, slot);
    f.value = e.firstBlock;
    if (e.firstBlock < n_ && owner_[e.firstBlock] != 0) {
      f.kind = Problem::FirstBlockTaken;
      setOther(&f, owner_[e.firstBlock] - 1);
    } else if (e.firstBlock < n_) {
      f.kind = Problem::FirstBlockFree;
    }
    drop(slot);
    report(f);
  }
}

// Orphans no entry took, all marked used, become files of their own while
// the table has room, rather than being freed: nothing readable is lost.
void Checker::salvage() {
  uint64_t files = keptCount();
  for (Orphan& o : orphans_) {
    if (o.taken || !o.marked || files + 1 > n_) continue;
    auto slot = static_cast<uint32_t>(entries_.size());
    std::string name = uniqueName("lost." + std::to_string(o.head));
    entries_.push_back(makeEntry(name, o.head, o.count * BlockPayload));
    state_.push_back(SlotState::Changed);
    names_.insert(slot);
    claimOrphan(slot, o);
    ++files;
    Finding f{Problem::OrphanSaved};
    f.first = o.head, f.value = o.count, f.newName = name;
    report(f);
  }
}

// Fills the name set with the kept entries' names, first come first;
// `repeats` gets the later entries that repeat one.
void Checker::collectNames(std::vector<uint32_t>* repeats) {
  names_.reserve(n_);
  for (uint32_t slot = 0; slot < entries_.size(); ++slot) {
    uint32_t holder = 0;
    if (!kept(slot)) continue;
    if (!names_.find(entries_[slot].nameView(), &holder))
      names_.insert(slot);
    else if (repeats)
      repeats->push_back(slot);
  }
}

// Two different files under one name: the later one cannot be reached by
// its name, so it gets a new one, chosen once every kept name is known so
// that it repeats none of them.
void Checker::nameEntries() {
  std::vector<uint32_t> repeats;
  collectNames(&repeats);
  for (uint32_t slot : repeats) {
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

// The name itself when free, else "base~k" for the smallest k not taken,
// the base shortened to fit. Distinct k give distinct names, so fewer than
// blockCount + 2 tries find a free one.
std::string Checker::uniqueName(std::string_view base) const {
  uint32_t holder = 0;
  if (!names_.find(base, &holder)) return std::string(base);
  for (uint64_t k = 1; k <= uint64_t{n_} + 1; ++k) {
    std::string suffix(1, '~');
    suffix += std::to_string(k);
    std::string name(base.substr(0, MaxNameLength - suffix.size()));
    name += suffix;
    if (!names_.find(name, &holder)) return name;
  }
  return {};  // not reached
}

BlockState Checker::blockState(uint32_t block) {
  bool owned = owner_[block] != 0;
  if (owned) return marked(block) ? BlockState::Fine : BlockState::Unmarked;
  if (marked(block)) return BlockState::Leaked;
  return holdsData(block) ? BlockState::NotZero : BlockState::Fine;
}

// Compares the bitmap with the blocks the kept chains own, one finding per
// run of blocks in the same state.
void Checker::checkBlocks() {
  for (uint32_t block = 0; block < n_;) {
    BlockState st = blockState(block);
    uint32_t end = block + 1;
    while (end < n_ && blockState(end) == st) ++end;
    if (st != BlockState::Fine) {
      Finding f{st == BlockState::Unmarked ? Problem::BlocksUnmarked
                : st == BlockState::Leaked ? Problem::BlocksLeaked
                                           : Problem::FreeBlocksNotZero};
      f.first = block, f.last = end - 1;
      report(f);
      (st == BlockState::Unmarked ? unmarked_ : st == BlockState::Leaked ? leaked_ : dirty_)
          .push_back({block, end - block});
    }
    block = end;
  }
}

void Checker::summarize(CheckSummary* out) const {
  out->blockCount = n_;
  out->problems = problems_;
  for (uint32_t b = 0; b < n_; ++b) out->usedBlocks += opt_.repair ? owner_[b] != 0 : marked(b);
  out->files = opt_.repair ? keptCount() : count_;
}

// ---- mending ---------------------------------------------------------------
// The header goes first, as everything is found through it; then one
// commit of the table and the bitmap, then the links cut and joined, each
// step durable before the next depends on it. The commit's own order keeps every
// kept file whole through a power cut: a run after one finds the same files.

Status Checker::repair() {
  if (Status s = writeHeader(); !s.ok()) return s;
  if (Status s = Image::adopt(own_, &img_); !s.ok()) return s;
  if (Status s = clearSpareBits(); !s.ok()) return s;
  if (Status s = commitRepair(); !s.ok()) return s;
  return writeLinks();
}

// The header in one write, which no sector boundary splits; a tableEnd
// outside the table goes with it, so the commit starts from a sound table.
Status Checker::writeHeader() {
  if (!headerChanged_ && !tableEndBad_) return {};
  return korvane::writeHeader(file_, {n_, dataOffset_,
                                     tableEndBad_ ? static_cast<uint32_t>(slotOffset(count_))
                                                  : header_.tableEnd});
}

// The bits past the last block sit in the bitmap's last byte, which
// markBlocks rewrites whole.
Status Checker::clearSpareBits() {
  if (!spareBits_) return {};
  auto spare = static_cast<uint32_t>(bitmap_.size() * 8 - n_);
  if (Status s = markBlocks(*img_, n_, spare, false); !s.ok()) return s;
  return file_.sync();
}

// Cuts and joins go once the entries are durable: a run after a power cut
// then finds every entry as this one left it and every chain as it was, and
// decides the same. Were a link changed first, that run would judge the
// old entries by other chains: a cut chain reads as a file whose end was
// lost, which it may join to another chain; a joined one may make whole a
// file that lost its blocks to another.
Status Checker::writeLinks() {
  for (auto links : {&cuts_, &relinks_})
    for (auto [block, link] : *links)
      if (Status s = linkBlock(*img_, block, link); !s.ok()) return s;
  return cuts_.empty() && relinks_.empty() ? Status{} : file_.sync();
}

// One commit: the kept entries in order, mended ones in their slots, later
// ones moved down over those dropped, then those taken back and those saved;
// the blocks of kept files marked with it. Leaked blocks, and free ones
// holding data, are zeroed and freed only once the entries that could claim
// them are durable.
Status Checker::commitRepair() {
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < entries_.size(); ++i)
    if (kept(i)) order.push_back(i);
  size_t first = 0;
  while (first < order.size() && order[first] == first && state_[first] == SlotState::Kept)
    ++first;
  TableEdit edit{first, {}, {}, order.size(), unmarked_, dirty_, leaked_, witnessEnd_};
  for (size_t k = first; k < order.size(); ++k) {
    edit.slots.push_back(entries_[order[k]]);
    edit.from.push_back(order[k] < n_ ? order[k] : NoSlot);
  }
  bool visible = false;
  Status afterwards;
  if (Status s = commitTable(*img_, edit, &visible, &afterwards); !s.ok()) return s;
  if (!afterwards.ok()) return afterwards;
  return file_.sync();
}

Status Checker::run(CheckSummary* out) {
  bool settled = false;
  if (Status s = settleGeometry(&settled); !s.ok()) return s;
  out->problems = problems_;
  if (!settled) return {};
  out->headerSound = true;
  if (Status s = readBitmap(); !s.ok()) return s;
  if (Status s = readTable(); !s.ok()) return s;
  if (Status s = sweepData(); !s.ok()) return s;
  settleTableEnd();
  checkSpareBits();
  owner_.assign(n_, 0);
  state_.assign(n_, SlotState::Dropped);
  std::fill_n(state_.begin(), count_, SlotState::Kept);
  dropTornSlots();
  for (uint32_t slot = 0; slot < count_; ++slot)
    if (kept(slot)) prepare(slot);
  // Files every witness agrees on go first, then the rest, so damage in one
  // file never costs a sound one its blocks.
  std::vector<uint32_t> rest;
  uint64_t budget = 2 * uint64_t{n_};
  for (uint32_t slot = 0; slot < count_; ++slot)
    if (kept(slot) && !(wholeOnItsOwn(slot, &budget) && claimWhole(slot, &rest)))
      rest.push_back(slot);
  std::sort(rest.begin(), rest.end());
  for (uint32_t slot : rest) claimFirstBlock(slot);
  for (uint32_t slot : rest) {
    uint32_t first = entries_[slot].firstBlock;
    if (kept(slot) && first < n_ && owner_[first] == slot + 1) walkChain(slot);
  }
  for (auto& [slot, w] : pending_) judgeWalk(slot, w);
  collectNames(nullptr);
  takeBackHidden();
  rejoin();
  nameEntries();
  salvage();
  checkBlocks();
  if (!readFailure_.ok()) return readFailure_;
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
  Checker checker(std::move(f), options, sink);
  if (Status s = checker.run(out); !s.ok()) return s;
  return checker.close();
}

Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  std::vector<Finding>* findings, CheckSummary* out) {
  return checkImage(
      env, path, options, [findings](const Finding& f) { findings->push_back(f); }, out);
}

}  // namespace korvane
