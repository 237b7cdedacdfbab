#include "image/table.h"

#include <algorithm>
#include <cstring>

#include "image/primitives.h"

namespace korvane {
namespace {

// The unit a disk writes whole, or not at all, once a sync has begun.
constexpr uint64_t SectorSize = 512;

uint64_t sectorOf(const Image& img, uint64_t slot) { return img.slotOffset(slot) / SectorSize; }
bool straddles(const Image& img, uint64_t slot) {
  return sectorOf(img, slot) != (img.slotOffset(slot) + FileEntrySize - 1) / SectorSize;
}

// The bitmap bytes that hold the bits of `runs`, read once, changed in
// memory, written back as one span.
class BitSpan {
 public:
  Status load(Image& img, const std::vector<Run>& runs) {
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
// both the bytes a straddling slot had and those it gets, so that a check
// can tell a torn slot by a head and a tail that two other slots hold.
// Slots up to `upTo` are weighed: the table's, and the appended ones
// written with the commit.
std::vector<unsigned char> copiesFor(const Image& img, const TableEdit& edit, const Slots& s,
                                     uint64_t upTo) {
  std::vector<unsigned char> out;
  auto add = [&out](const unsigned char* e) { out.insert(out.end(), e, e + FileEntrySize); };
  for (uint64_t j = s.first; j < s.first + edit.slots.size() && j < upTo; ++j) {
    if (!s.changed(j)) continue;
    uint64_t i = edit.from[j - s.first];
    if (straddles(img, j)) {
      add(s.old(j));
      add(s.now(j));
    } else if (i != NoSlot && i != j && (straddles(img, i) || sectorOf(img, i) != sectorOf(img, j))) {
      add(s.now(j));
    }
  }
  return out;
}

// Frees what the commit let go of; a failure leaves blocks leaked, or free
// and not zero, which a check mends.
Status afterCommit(Image& img, const TableEdit& edit) {
  Status first;
  auto keep = [&first](Status s) { if (first.ok()) first = s; };
  for (const Run& r : edit.unmark) keep(zeroRun(img, r));
  for (const Run& r : edit.release) keep(releaseRun(img, r));
  return first;
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

Status commitTable(Image& img, const TableEdit& edit, bool* visible, Status* afterwards) {
  *visible = false;
  if (afterwards) *afterwards = {};
  uint64_t oldEnd = img.entryCount(), last = edit.first + edit.slots.size();
  Slots s{edit.first, std::vector<unsigned char>(edit.slots.size() * FileEntrySize), {}};
  s.after.resize(s.before.size());
  if (Status st = readExact(img.file(), img.slotOffset(edit.first), s.before.data(), s.before.size());
      !st.ok())
    return st;
  for (size_t i = 0; i < edit.slots.size(); ++i) encodeEntry(s.after.data() + i * FileEntrySize, edit.slots[i]);

  // An appended slot that takes its entry from another slot (a check taking
  // back entries past the table's end) may overwrite the slot another one
  // comes from: such slots are written with the commit, after their copies
  // are durable, as the table's own are. The scratch slots lie past every
  // slot an entry comes from, too.
  uint64_t scratchAt = std::max({oldEnd, uint64_t{edit.end}, last, edit.scratchFrom});
  uint64_t commitEnd = std::min(last, oldEnd);
  for (uint64_t j = edit.first; j < last; ++j) {
    uint64_t i = edit.from[j - edit.first];
    if (i != NoSlot) scratchAt = std::max(scratchAt, i + 1);
    if (j >= oldEnd && i != NoSlot && i != j && s.changed(j)) commitEnd = last;
  }

  // Stretch 1: what nothing reads yet.
  std::vector<unsigned char> copies = copiesFor(img, edit, s, commitEnd), scratch;
  bool roomy = scratchAt + copies.size() / FileEntrySize <= img.blockCount();
  bool appended = false;
  for (uint64_t j = std::max(edit.first, commitEnd); j < last; ++j)
    appended = appended || s.changed(j);
  if (appended)
    if (Status st = s.write(img, std::max(edit.first, commitEnd), last); !st.ok()) return st;
  if (roomy && !copies.empty()) {
    scratch.resize(copies.size());
    if (Status st = readExact(img.file(), img.slotOffset(scratchAt), scratch.data(), scratch.size());
        !st.ok())
      return st;
    if (Status st = writeAt(img.file(), img.slotOffset(scratchAt), copies.data(), copies.size());
        !st.ok())
      return st;
  }
  if (appended || (roomy && !copies.empty()) || !edit.mark.empty())
    if (Status st = img.file().sync(); !st.ok()) return st;

  // Stretch 2, the commit: bits cleared, the slots in the table, tableEnd,
  // bits set. In this order a process killed part way leaves no file
  // without its bits, and no bits for a file that is not there.
  BitSpan cleared, set;
  if (Status st = cleared.setting(false).load(img, edit.unmark); !st.ok()) return st;
  if (Status st = set.setting(true).load(img, edit.mark); !st.ok()) return st;
  uint64_t lo = last, hi = edit.first;
  for (uint64_t j = edit.first; j < commitEnd; ++j)
    if (s.changed(j)) lo = std::min(lo, j), hi = j + 1;
  uint32_t oldTableEnd = img.header().tableEnd;
  auto newTableEnd = static_cast<uint32_t>(img.slotOffset(edit.end));
  *visible = true;
  Status st = cleared.write(img);
  if (st.ok() && roomy) st = s.write(img, lo, hi);
  // Without room for copies, the slots go a sector at a time, lowest
  // first, each synced before the next: an entry moved down is always
  // whole in its old sector or its new one. A slot that straddles a
  // boundary is split there, so that while its head is new and its tail
  // old, the entry moved into it is still whole above it and the one moved
  // out whole below it: what a check tells a torn slot by.
  uint64_t base = img.slotOffset(s.first), end = img.slotOffset(hi);
  for (uint64_t at = img.slotOffset(lo); st.ok() && !roomy && at < end;) {
    uint64_t next = std::min(end, (at / SectorSize + 1) * SectorSize);
    st = writeAt(img.file(), at, s.after.data() + (at - base), next - at);
    if (st.ok()) st = img.file().sync();
    at = next;
  }
  if (st.ok() && newTableEnd != oldTableEnd) st = img.writeTableEnd(newTableEnd);
  if (st.ok()) st = set.write(img);
  if (st.ok()) st = img.file().sync();
  if (!st.ok()) {
    // Not known to be on the disk: put the old bytes back, and only if that
    // is durable is the change surely not made.
    bool back = cleared.undo(img).ok() &&
                (lo >= hi || writeAt(img.file(), img.slotOffset(lo), s.old(lo), (hi - lo) * FileEntrySize).ok()) &&
                img.writeTableEnd(oldTableEnd).ok() && set.undo(img).ok() && img.file().sync().ok();
    if (back) *visible = false;
    return st;
  }

  Status freed = afterCommit(img, edit);
  // The copies go: the slots past the table hold what they held.
  if (!scratch.empty()) (void)writeAt(img.file(), img.slotOffset(scratchAt), scratch.data(), scratch.size());
  if (afterwards) *afterwards = freed;
  return {};
}

Status appendEntries(Image& img, const std::vector<FileEntry>& entries,
                     const std::vector<Run>& mark, bool* visible) {
  uint64_t end = img.entryCount();
  TableEdit edit{end, entries, std::vector<uint64_t>(entries.size(), NoSlot), end + entries.size(),
                 mark, {}, {}};
  return commitTable(img, edit, visible);
}

Status rewriteEntry(Image& img, uint64_t slot, const FileEntry& entry,
                    const std::vector<Run>& mark, const std::vector<Run>& release,
                    bool* visible) {
  TableEdit edit{slot, {entry}, {slot}, img.entryCount(), mark, {}, release};
  return commitTable(img, edit, visible);
}

Status eraseEntries(Image& img, const std::vector<uint64_t>& erased,
                    const std::vector<Run>& freed, const Rename* rename, bool* visible,
                    Status* afterwards) {
  *visible = false;
  uint64_t end = img.entryCount(), lo = end;
  for (uint64_t s : erased) lo = std::min(lo, s);
  if (rename) lo = std::min(lo, rename->slot);
  if (lo >= end) return Status::fail(Error::NotStored);
  std::vector<unsigned char> raw((end - lo) * FileEntrySize);
  if (Status s = readExact(img.file(), img.slotOffset(lo), raw.data(), raw.size()); !s.ok())
    return s;
  // Each erase moves the entries after its slot down by one and leaves the
  // last slot as it was: slot lo + k then holds what slot ids[k] held.
  std::vector<uint64_t> ids(end - lo);
  for (uint64_t k = 0; k < ids.size(); ++k) ids[k] = lo + k;
  for (uint64_t s : erased) {
    if (s >= end) return Status::fail(Error::NotStored);
    std::copy(ids.begin() + (s + 1 - lo), ids.begin() + (end - lo), ids.begin() + (s - lo));
    --end;
  }
  TableEdit edit{lo, {}, ids, end, {}, freed, {}};
  for (uint64_t id : ids) edit.slots.push_back(decodeEntry(raw.data() + (id - lo) * FileEntrySize));
  if (rename) {
    if (rename->slot >= end) return Status::fail(Error::NotStored);
    FileEntry named = makeEntry(rename->name, 0, 0);
    std::memcpy(edit.slots[rename->slot - lo].name, named.name, NameFieldSize);
  }
  return commitTable(img, edit, visible, afterwards);
}

}  // namespace korvane
