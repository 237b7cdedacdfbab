// The checker's passes over slots a write cut short may have left: torn
// slots inside the table, part one version and part another, which go; and
// whole entries past the table's end, which join it.
#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "image/check_state.h"

namespace korvane::check_detail {
namespace {

// Writes tear at sector boundaries: a slot that straddles one can land in part.
constexpr uint64_t SectorSize = 512;

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

}  // namespace

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

}  // namespace korvane::check_detail
