// The checker's passes over entries and their chains: mending what an
// entry's own bytes show, claiming the chains every witness agrees on, then
// walking the rest and judging each walk by the file's size; then the
// chains no entry leads to (orphans), joined back to the entries that lost
// them or saved as files; last the bitmap against the blocks kept files own.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image/check_state.h"

namespace korvane::check_detail {
namespace {

bool sameEntry(const FileEntry& a, const FileEntry& b) {
  return a.firstBlock == b.firstBlock && a.fileSize == b.fileSize &&
         a.lastBlockBytes == b.lastBlockBytes && a.nameView() == b.nameView();
}

bool terminated(const FileEntry& e) { return std::memchr(e.name, 0, NameFieldSize) != nullptr; }

// The size a chain of `blocks` blocks has when its last one holds
// `lastBytes`, if that count can be one.
bool sizeFromChain(uint32_t blocks, uint32_t lastBytes, uint32_t* size) {
  if (lastBytes > BlockPayload || (lastBytes == 0 && blocks != 1)) return false;
  uint64_t s = uint64_t{BlockPayload} * (blocks - 1) + lastBytes;
  if (s > MaxFileSize) return false;
  *size = static_cast<uint32_t>(s);
  return true;
}

// Whether two block numbers differ in one byte at most: what a damaged bit
// or byte leaves of a link or a first block.
bool nearby(uint32_t a, uint32_t b) {
  uint32_t x = a ^ b;
  for (uint32_t lane = 0xFF; lane != 0; lane <<= 8)
    if ((x & lane) == x) return true;
  return false;
}

}  // namespace

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

// Gives up every block of a whole entry's chain, which it owned: another
// entry then claims them.
void Checker::disown(uint32_t slot) {
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
      disown(other);
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

}  // namespace korvane::check_detail
