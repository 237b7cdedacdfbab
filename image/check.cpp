// The checker's order of passes, and its entry points. The passes live in
// check_header.cpp, check_past_table.cpp, check_chains.cpp, check_names.cpp
// and check_repair.cpp, over the state check_state.h declares.
#include "image/check.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "image/check_state.h"
#include "image/image.h"

namespace korvane {
namespace check_detail {

void Checker::summarize(CheckSummary* out) const {
  out->blockCount = n_;
  out->problems = problems_;
  for (uint32_t b = 0; b < n_; ++b) out->usedBlocks += opt_.repair ? owner_[b] != 0 : marked(b);
  out->files = opt_.repair ? keptCount() : count_;
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

}  // namespace check_detail

Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  const FindingSink& sink, CheckSummary* out) {
  *out = {};
  std::unique_ptr<File> f;
  OpenMode mode = options.repair ? OpenMode::ReadWrite : OpenMode::Read;
  if (Status s = openImageFile(env, path, mode, LockMode::Exclusive, options.lockWaitMs, &f);
      !s.ok())
    return s;
  check_detail::Checker checker(std::move(f), options, sink);
  if (Status s = checker.run(out); !s.ok()) return s;
  return checker.close();
}

Status checkImage(Env& env, const char* path, const CheckOptions& options,
                  std::vector<Finding>* findings, CheckSummary* out) {
  return checkImage(
      env, path, options, [findings](const Finding& f) { findings->push_back(f); }, out);
}

}  // namespace korvane
