#include "image/commit.h"

#include <algorithm>
#include <cstring>

#include "image/recovery.h"

namespace korvane {
namespace {

// An edit as the commit writes it: the slots [first, first + slots.size())
// after it, each with the slot its entry was in, and the bits.
struct Layout {
  uint64_t first = 0;
  std::vector<FileEntry> slots;
  std::vector<uint64_t> from;  // for each slot: the slot its entry was in, or NoSlot
  uint64_t end = 0;            // entries in the table after the change
  std::vector<Run> mark;       // marked used with the commit; their data written before
  std::vector<Run> free;       // marked free with the commit, zeroed after it
  std::vector<Run> freeAfter;  // zeroed, then marked free, after the commit
  uint64_t scratchFrom = 0;    // the copies go no lower: a check still reads the slots below
};

}  // namespace

// The one writer of tableEnd, and of a TableEdit's layout.
class TableCommit {
 public:
  static CommitOutcome run(Image& img, const TableEdit& edit);
  static Status writeTableEnd(Image& img, uint32_t end) { return img.writeTableEnd(end); }
};

namespace {


// Clears the bits of blocks [first, first + count) in one write of the
// bitmap bytes that hold them. On failure: IoError, the bits unchanged or,
// after a torn write, partly changed.
Status clearBits(Image& img, uint32_t first, uint32_t count) {
  if (count == 0) return {};
  uint64_t lo = bitmapByteOf(first);
  uint64_t hi = bitmapByteOf(first + count - 1);
  std::vector<unsigned char> bytes(static_cast<size_t>(hi - lo + 1));
  if (Status s = readExact(img.file(), HeaderSize + lo, bytes.data(), bytes.size()); !s.ok())
    return s;
  // Bit positions are taken relative to byte `lo`, whose first block is lo * 8.
  auto base = static_cast<uint32_t>(lo * 8);
  for (uint32_t b = first; b < first + count; ++b) clearBit(bytes.data(), b - base);
  return writeAt(img.file(), HeaderSize + lo, bytes.data(), bytes.size());
}

// Zeroes the run's blocks, then clears their bits: a crash in between
// leaves used blocks that hold zeros, never a free block still holding an
// old file's bytes. On failure: IoError, the blocks still marked used.
Status zeroThenFree(Image& img, const Run& run) {
  if (Status s = zeroRun(img, run); !s.ok()) return s;
  return clearBits(img, run.first, run.count);
}

// The bitmap bytes that hold the bits of `runs`, read once, changed in
// memory, written back as one span. A span written after another (`under`)
// starts from what that one writes where they share bytes, so neither
// write takes back the other's bits.
class BitSpan {
 public:
  Status load(Image& img, const std::vector<Run>& runs, const BitSpan* under = nullptr) {
    if (runs.empty()) return {};
    lo_ = UINT64_MAX;
    uint64_t hi = 0;
    for (const Run& r : runs) {
      if (r.count == 0) continue;
      lo_ = std::min(lo_, bitmapByteOf(r.first));
      hi = std::max(hi, bitmapByteOf(r.first + r.count - 1) + 1);
    }
    if (lo_ == UINT64_MAX) return {};
    old_.resize(static_cast<size_t>(hi - lo_));
    if (Status s = readExact(img.file(), HeaderSize + lo_, old_.data(), old_.size()); !s.ok())
      return s;
    if (under) {
      uint64_t from = std::max(lo_, under->lo_), to = std::min(hi, under->lo_ + under->new_.size());
      for (uint64_t i = from; i < to; ++i) old_[i - lo_] = under->new_[i - under->lo_];
    }
    new_ = old_;
    auto base = static_cast<uint32_t>(lo_ * 8);
    for (const Run& r : runs)
      for (uint32_t b = r.first; b < r.first + r.count; ++b) {
        if (set_) setBit(new_.data(), b - base);
        else clearBit(new_.data(), b - base);
      }
    return {};
  }
  BitSpan& setting(bool set) { return set_ = set, *this; }
  Status write(Image& img) const { return put(img, new_); }
  Status undo(Image& img) const { return put(img, old_); }

 private:
  Status put(Image& img, const std::vector<unsigned char>& bytes) const {
    return bytes.empty() ? Status{} : writeAt(img.file(), HeaderSize + lo_, bytes.data(), bytes.size());
  }
  bool set_ = true;
  uint64_t lo_ = 0;
  std::vector<unsigned char> old_, new_;
};

// The slots an edit writes, as the disk holds them and as they will be.
struct Slots {
  uint64_t first = 0;
  std::vector<unsigned char> before, after;
  bool changed(uint64_t slot) const {
    size_t at = static_cast<size_t>(slot - first) * FileEntrySize;
    return std::memcmp(before.data() + at, after.data() + at, FileEntrySize) != 0;
  }
  const unsigned char* old(uint64_t slot) const { return before.data() + (slot - first) * FileEntrySize; }
  const unsigned char* now(uint64_t slot) const { return after.data() + (slot - first) * FileEntrySize; }
  // Writes the slots [lo, hi) as they will be.
  Status write(Image& img, uint64_t lo, uint64_t hi) const {
    return lo >= hi ? Status{} : writeAt(img.file(), img.slotOffset(lo), now(lo), (hi - lo) * FileEntrySize);
  }
};

// The entries a torn write could take from every slot that holds them: an
// entry moved to another sector, or out of a slot that straddles one, and
// both the bytes a straddling slot had and those it gets when the write can
// tear it into a third entry, so that a check can tell a torn slot by a
// head and a tail that two other slots hold. No more: each copy is a half
// that a sound slot might share.
// Slots below `upTo` are weighed: the table's, and appended ones written
// with the commit.
std::vector<unsigned char> copiesFor(const Image& img, const Layout& edit, const Slots& s,
                                     uint64_t upTo) {
  std::vector<unsigned char> out;
  auto add = [&out](const unsigned char* e) { out.insert(out.end(), e, e + FileEntrySize); };
  for (uint64_t j = s.first; j < s.first + edit.slots.size() && j < upTo; ++j) {
    if (!s.changed(j)) continue;
    uint64_t i = edit.from[j - s.first];
    if (straddles(img.blockCount(), j) && tears(img.blockCount(), s.old(j), s.now(j))) {
      add(s.old(j));
      add(s.now(j));
    } else if (i != NoSlot && i != j && (straddles(img.blockCount(), i) || sectorOf(img.blockCount(), i) != sectorOf(img.blockCount(), j))) {
      add(s.now(j));
    }
  }
  return out;
}

}  // namespace

std::vector<Run> runsOf(std::vector<uint32_t> blocks) {
  std::sort(blocks.begin(), blocks.end());
  std::vector<Run> out;
  for (uint32_t b : blocks) {
    if (!out.empty() && out.back().first + out.back().count == b) ++out.back().count;
    else out.push_back({b, 1});
  }
  return out;
}

namespace {

// One commitTable call: the slots before and after, the copies made, and
// the bits, so that a failed commit can be taken back.
class Commit {
 public:
  Commit(Image& img, const Layout& edit)
      : img_(img), edit_(edit), oldEnd_(img.entryCount()), last_(edit.first + edit.slots.size()),
        oldTableEnd_(img.header().tableEnd) {}

  // Reads the slots the edit writes, unless the caller has them: `known`.
  Status load(std::vector<unsigned char> known);
  Status stageCopies();
  Status commit();
  Status takeBack();
  void finish(Status* afterwards);

 private:
  Status writeBySector(uint64_t from, uint64_t to);

  Image& img_;
  const Layout& edit_;
  uint64_t oldEnd_, last_;
  uint64_t commitEnd_ = 0;  // slots below it are written with the commit
  uint32_t oldTableEnd_;
  Slots slots_;
  uint64_t lo_ = 0, hi_ = 0;  // the slots in the table that change
  std::vector<unsigned char> copies_, scratch_;  // the copies, and what their slots held
  uint64_t scratchAt_ = 0, scratchEnd_ = 0;  // the slots the copies span
  bool roomy_ = true;
  BitSpan cleared_, set_;
};

Status Commit::load(std::vector<unsigned char> known) {
  slots_.first = edit_.first;
  slots_.before = std::move(known);
  slots_.after.resize(edit_.slots.size() * FileEntrySize);
  if (slots_.before.size() != slots_.after.size()) {
    slots_.before.resize(slots_.after.size());
    if (Status s = readExact(img_.file(), img_.slotOffset(edit_.first), slots_.before.data(),
                             slots_.before.size());
        !s.ok())
      return s;
  }
  for (size_t i = 0; i < edit_.slots.size(); ++i)
    encodeEntry(slots_.after.data() + i * FileEntrySize, edit_.slots[i]);
  // An appended slot that takes its entry from another one (a check taking
  // back entries past the table's end) may overwrite where another comes
  // from: such slots go with the commit, their copies durable first, as
  // the table's own do. The copies lie past every slot an entry comes from.
  commitEnd_ = std::min(last_, oldEnd_);
  scratchAt_ = std::max({oldEnd_, uint64_t{edit_.end}, last_, edit_.scratchFrom});
  for (uint64_t j = edit_.first; j < last_; ++j) {
    uint64_t i = edit_.from[j - edit_.first];
    if (i != NoSlot) scratchAt_ = std::max(scratchAt_, i + 1);
    if (j >= oldEnd_ && i != NoSlot && i != j && slots_.changed(j)) commitEnd_ = last_;
  }
  lo_ = last_, hi_ = edit_.first;
  for (uint64_t j = edit_.first; j < commitEnd_; ++j)
    if (slots_.changed(j)) lo_ = std::min(lo_, j), hi_ = j + 1;
  copies_ = copiesFor(img_, edit_, slots_, commitEnd_);
  // A copy never straddles a sector boundary, so no cut can tear one into
  // a head and a tail that would make a sound slot look torn.
  scratchEnd_ = scratchAt_;
  for (uint64_t left = copies_.size() / FileEntrySize; left > 0; ++scratchEnd_)
    left -= !straddles(img_.blockCount(), scratchEnd_);
  roomy_ = scratchEnd_ <= img_.blockCount();
  if (Status s = set_.setting(true).load(img_, edit_.mark); !s.ok()) return s;
  return cleared_.setting(false).load(img_, edit_.free, &set_);
}

// The first stretch: entries appended past tableEnd and the copies, synced
// with the data the caller wrote, when there is any of it.
Status Commit::stageCopies() {
  bool appended = false;
  for (uint64_t j = std::max(edit_.first, commitEnd_); j < last_; ++j)
    appended = appended || slots_.changed(j);
  if (appended)
    if (Status s = slots_.write(img_, std::max(edit_.first, commitEnd_), last_); !s.ok()) return s;
  bool copying = roomy_ && !copies_.empty();
  if (copying) {
    uint64_t at = img_.slotOffset(scratchAt_);
    scratch_.resize((scratchEnd_ - scratchAt_) * FileEntrySize);
    if (Status s = readExact(img_.file(), at, scratch_.data(), scratch_.size()); !s.ok()) return s;
    std::vector<unsigned char> staged = scratch_;
    for (uint64_t j = scratchAt_, k = 0; j < scratchEnd_; ++j)
      if (!straddles(img_.blockCount(), j))
        std::memcpy(&staged[(j - scratchAt_) * FileEntrySize], &copies_[k++ * FileEntrySize], FileEntrySize);
    if (Status s = writeAt(img_.file(), at, staged.data(), staged.size()); !s.ok()) return s;
  }
  return appended || copying || !edit_.mark.empty() ? img_.file().sync() : Status{};
}

// Without room for copies, the table's bytes go a sector at a time, lowest
// first, each synced before the next: an entry moved down is always whole
// in a sector written before or in one not yet written. A slot straddling
// a boundary is split there: while its head is new and its tail old, the
// entry moved into it is whole above it and the one moved out whole below,
// which is how a check tells a torn slot.
Status Commit::writeBySector(uint64_t from, uint64_t to) {
  uint64_t at = img_.slotOffset(from), end = img_.slotOffset(to);
  while (at < end) {
    uint64_t stop = std::min(end, (at / SectorSize + 1) * SectorSize);
    const unsigned char* bytes = slots_.now(edit_.first) + (at - img_.slotOffset(edit_.first));
    if (Status s = writeAt(img_.file(), at, bytes, stop - at); !s.ok()) return s;
    if (Status s = img_.file().sync(); !s.ok()) return s;
    at = stop;
  }
  return {};
}

// The second stretch: bits set, the slots in the table, tableEnd, bits
// cleared, and a sync. A process killed part way has written a prefix of
// these: a block is marked before any entry names it and freed only once
// none does, so what it leaves is at worst a leak, never a listed file
// over free blocks that the next store would take.
Status Commit::commit() {
  if (Status s = set_.write(img_); !s.ok()) return s;
  if (Status s = roomy_ ? slots_.write(img_, lo_, hi_) : writeBySector(lo_, hi_); !s.ok()) return s;
  auto tableEnd = static_cast<uint32_t>(img_.slotOffset(edit_.end));
  if (tableEnd != oldTableEnd_)
    if (Status s = TableCommit::writeTableEnd(img_, tableEnd); !s.ok()) return s;
  if (Status s = cleared_.write(img_); !s.ok()) return s;
  return img_.file().sync();
}

// Puts the old bytes back after a commit not known to be on the disk: only
// once that is durable is the change surely not made. The same order as
// the commit: what the old table names is marked again before it names it.
Status Commit::takeBack() {
  if (Status s = cleared_.undo(img_); !s.ok()) return s;
  if (lo_ < hi_)
    if (Status s = writeAt(img_.file(), img_.slotOffset(lo_), slots_.old(lo_),
                           (hi_ - lo_) * FileEntrySize);
        !s.ok())
      return s;
  if (Status s = TableCommit::writeTableEnd(img_, oldTableEnd_); !s.ok()) return s;
  if (Status s = set_.undo(img_); !s.ok()) return s;
  return img_.file().sync();
}

// After the commit: blocks let go are zeroed and freed, and the copies'
// slots get back what they held, so that the bytes past the table do not
// depend on how changes were grouped. None of it is synced.
void Commit::finish(Status* afterwards) {
  Status freed;
  auto keep = [&freed](Status s) {
    if (freed.ok()) freed = s;
  };
  for (const Run& r : edit_.free) keep(zeroRun(img_, r));
  for (const Run& r : edit_.freeAfter) keep(zeroThenFree(img_, r));
  if (!scratch_.empty())
    (void)writeAt(img_.file(), img_.slotOffset(scratchAt_), scratch_.data(), scratch_.size());
  if (afterwards) *afterwards = freed;
}

}  // namespace

namespace {

// The commit of a layout, given the bytes its slots hold now.
CommitOutcome commitLayout(Image& img, const Layout& edit, std::vector<unsigned char> before) {
  CommitOutcome out;
  Commit c(img, edit);
  if (Status s = c.load(std::move(before)); !s.ok()) return out.status = s, out;
  if (Status s = c.stageCopies(); !s.ok()) return out.status = s, out;
  out.mayBeOnDisk = true;
  if (Status s = c.commit(); !s.ok()) {
    if (c.takeBack().ok()) out.mayBeOnDisk = false;
    return out.status = s, out;
  }
  c.finish(&out.cleanup);
  return out;
}

}  // namespace

// ---- building an edit --------------------------------------------------------

TableEdit::TableEdit(const Image& img)
    : oldEnd_(img.entryCount()), end_(oldEnd_), limit_(img.blockCount()), first_(oldEnd_) {}

// The piece for `slot`, the slots between those held and it added as they
// stand.
TableEdit::Piece& TableEdit::at(uint64_t slot) {
  if (slot < first_) {
    std::vector<Piece> below(first_ - slot);
    for (uint64_t j = slot; j < first_; ++j) below[j - slot].from = j;
    pieces_.insert(pieces_.begin(), below.begin(), below.end());
    first_ = slot;
  }
  while (first_ + pieces_.size() <= slot) pieces_.push_back({first_ + pieces_.size()});
  return pieces_[slot - first_];
}

TableEdit& TableEdit::add(const FileEntry& entry, uint64_t from) {
  if (end_ >= limit_) return spoil();
  known_.push_back(entry);
  at(end_++) = {from, static_cast<uint32_t>(known_.size())};
  return *this;
}

TableEdit& TableEdit::remove(uint64_t slot) {
  if (slot >= end_) return spoil();
  at(slot), at(end_ - 1);
  auto base = pieces_.begin() - static_cast<ptrdiff_t>(first_);
  std::copy(base + static_cast<ptrdiff_t>(slot + 1), base + static_cast<ptrdiff_t>(end_),
            base + static_cast<ptrdiff_t>(slot));
  --end_;
  return *this;
}

TableEdit& TableEdit::rename(uint64_t slot, std::string_view name) {
  if (slot >= end_ || name.size() > MaxNameLength) return spoil();
  Piece& p = at(slot);
  FileEntry named = makeEntry(name, 0, 0);
  if (p.entry != 0) {
    std::memcpy(known_[p.entry - 1].name, named.name, NameFieldSize);
    return *this;
  }
  known_.push_back(named);
  p.entry = static_cast<uint32_t>(known_.size());
  p.nameOnly = true;
  return *this;
}

TableEdit& TableEdit::rewrite(uint64_t slot, const FileEntry& entry, uint64_t from) {
  if (slot >= end_) return spoil();
  known_.push_back(entry);
  at(slot) = {from == NoSlot ? slot : from, static_cast<uint32_t>(known_.size())};
  return *this;
}

TableEdit& TableEdit::park(const FileEntry& entry) {
  known_.push_back(entry);
  at(std::max(end_, oldEnd_)) = {NoSlot, static_cast<uint32_t>(known_.size())};
  return *this;
}

TableEdit& TableEdit::mark(const std::vector<Run>& runs) {
  mark_.insert(mark_.end(), runs.begin(), runs.end());
  return *this;
}
TableEdit& TableEdit::free(const std::vector<Run>& runs) {
  free_.insert(free_.end(), runs.begin(), runs.end());
  return *this;
}
TableEdit& TableEdit::freeAfter(const std::vector<Run>& runs) {
  freeAfter_.insert(freeAfter_.end(), runs.begin(), runs.end());
  return *this;
}
TableEdit& TableEdit::copiesFrom(uint64_t slot) {
  copiesFrom_ = std::max(copiesFrom_, slot);
  return *this;
}

uint64_t TableEdit::origin(uint64_t slot) const {
  if (slot >= end_) return NoSlot;
  if (slot < first_ || slot >= first_ + pieces_.size()) return slot;
  const Piece& p = pieces_[slot - first_];
  return p.entry == 0 || p.nameOnly ? p.from : NoSlot;
}

// Reads the slots the edit writes and lays it out as the commit writes it.
CommitOutcome TableCommit::run(Image& img, const TableEdit& edit) {
  CommitOutcome out;
  if (edit.spoiled_) return out.status = Status::fail(Error::NotStored), out;
  Layout l{edit.first_, {}, {}, edit.end_, edit.mark_, edit.free_, edit.freeAfter_,
           edit.copiesFrom_};
  std::vector<unsigned char> before(edit.pieces_.size() * FileEntrySize);
  if (!before.empty())
    if (Status s = readExact(img.file(), img.slotOffset(l.first), before.data(), before.size());
        !s.ok())
      return out.status = s, out;
  for (const TableEdit::Piece& p : edit.pieces_) {
    FileEntry e = p.entry && !p.nameOnly ? edit.known_[p.entry - 1]
                                         : decodeEntry(&before[(p.from - l.first) * FileEntrySize]);
    if (p.nameOnly) std::memcpy(e.name, edit.known_[p.entry - 1].name, NameFieldSize);
    l.slots.push_back(e);
    l.from.push_back(p.from);
  }
  return commitLayout(img, l, std::move(before));
}

CommitOutcome commitEdit(Image& img, const TableEdit& edit) { return TableCommit::run(img, edit); }

CommitOutcome& CommitOutcome::then(const CommitOutcome& next) {
  status = next.status;
  mayBeOnDisk = mayBeOnDisk || next.mayBeOnDisk;
  if (cleanup.ok()) cleanup = next.cleanup;
  return *this;
}

CommitOutcome renameOver(Image& img, uint64_t from, uint64_t to, const std::vector<Run>& freed) {
  CommitOutcome out;
  uint64_t end = img.entryCount();
  if (from >= end || to >= end || from == to) return out.status = Status::fail(Error::NotStored), out;
  bool parked = from + 1 < end;
  if (parked && end >= img.blockCount()) return out.status = Status::fail(Error::NoSpace), out;
  unsigned char raw[FileEntrySize], spare[FileEntrySize];
  if (Status s = readExact(img.file(), img.slotOffset(from), raw, FileEntrySize); !s.ok())
    return out.status = s, out;
  if (parked)
    if (Status s = readExact(img.file(), img.slotOffset(end), spare, FileEntrySize); !s.ok())
      return out.status = s, out;
  FileEntry moved = decodeEntry(raw);
  // The source leaves the table, its blocks kept marked and its entry whole
  // past the end: where the erase leaves the last entry, or else parked.
  TableEdit erase(img);
  erase.remove(from);
  if (parked) erase.park(moved);
  if (out = commitEdit(img, erase); !out.ok()) return out;
  out.cleanup = {};
  // A target that was last left its old entry in the slot past the table
  // too: beside the parked copy, whose head the renamed entry shares, its
  // name would show the renamed entry to a check as a slot torn between
  // the two. The renamed entry is parked there instead, before the commit:
  // a copy of it is no half of anything.
  uint64_t at = to - (to > from);
  unsigned char target[FileEntrySize];
  if (Status s = readExact(img.file(), img.slotOffset(at), target, FileEntrySize); !s.ok())
    return out.status = s, out;
  std::memcpy(moved.name, decodeEntry(target).name, NameFieldSize);
  TableEdit over(img);
  over.rewrite(at, moved).free(freed).copiesFrom(end + 1);
  if (to + 1 == end) over.park(moved);
  out.then(commitEdit(img, over));
  // Once the entry is named again its parked copy is stale: the slot gets
  // back what it held, unsynced, as the copies' slots do. No copy of a live
  // entry is left there to pass, beside another, for the halves of a torn
  // slot.
  if (out.ok() && parked) (void)writeAt(img.file(), img.slotOffset(end), spare, FileEntrySize);
  return out;
}

Status writeHeader(File& f, const Header& h) {
  unsigned char raw[HeaderSize];
  encodeHeader(raw, h);
  if (Status s = writeAt(f, 0, raw, sizeof raw); !s.ok()) return s;
  return f.sync();
}

Status clearSpareBits(Image& img) {
  auto spare = static_cast<uint32_t>(bitmapBytes(img.blockCount()) * 8 - img.blockCount());
  if (Status s = clearBits(img, img.blockCount(), spare); !s.ok()) return s;
  return img.file().sync();
}

}  // namespace korvane
