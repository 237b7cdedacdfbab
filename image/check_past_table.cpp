// The checker's passes over slots a write cut short may have left: torn
// slots inside the table, part one version and part another, which go; and
// whole entries past the table's end, which join it.
#include <algorithm>
#include <span>

#include "image/check_state.h"
#include "image/recovery.h"

namespace korvane::check_detail {

// A torn slot goes, and the entry it held is found whole where it is. The
// slots that show it for what it is must outlive the repair's commit.
void Checker::dropTornSlots() {
  for (const TornSlot& t : findTornSlots(n_, std::span(entries_).first(n_), count_)) {
    witnessEnd_ = std::max({witnessEnd_, t.head + 1, t.tail + 1});
    Finding f = entryFinding(Problem::EntryTorn, static_cast<uint32_t>(t.slot));
    setOther(&f, static_cast<uint32_t>(t.head));
    drop(static_cast<uint32_t>(t.slot));
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
  bool whole = false;
  (void)hiddenFile(
      n_, e, names_.find(e.nameView(), &holder),
      [this](uint32_t b, uint32_t* next) { return *next = next_[b], Status{}; },
      [this](uint32_t b) { return owner_[b] == 0 && marked(b); }, budget, &whole);
  return whole;
}

}  // namespace korvane::check_detail
