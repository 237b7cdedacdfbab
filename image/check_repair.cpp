// The checker's mending, once every pass has decided what to change. The
// header goes first, as everything is found through it; then one commit of
// the table and the bitmap, then the links cut and joined, each step
// durable before the next depends on it. The commit's own order keeps every
// kept file whole through a power cut: a run after one finds the same files.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "image/chain.h"
#include "image/check_state.h"
#include "image/commit.h"

namespace korvane::check_detail {

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

Status Checker::clearSpareBits() {
  return spareBits_ ? korvane::clearSpareBits(*img_) : Status{};
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
  while (first < std::min<size_t>(order.size(), count_) && order[first] == first &&
         state_[first] == SlotState::Kept)
    ++first;
  TableEdit edit(*img_);
  for (size_t k = first; k < order.size(); ++k) {
    uint64_t from = order[k] < n_ ? order[k] : NoSlot;
    if (k < count_) edit.rewrite(k, entries_[order[k]], from);
    else edit.add(entries_[order[k]], from);
  }
  for (uint64_t slot = count_; slot > order.size();) edit.remove(--slot);
  edit.mark(unmarked_).free(dirty_).freeAfter(leaked_).copiesFrom(witnessEnd_);
  CommitOutcome done = commitEdit(*img_, edit);
  if (!done.ok()) return done.status;
  if (!done.cleanup.ok()) return done.cleanup;
  return file_.sync();
}

}  // namespace korvane::check_detail
