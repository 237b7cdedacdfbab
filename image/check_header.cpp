// The checker's first pass: settling the header against the file's length,
// then reading the bitmap, the whole table and the data area once each,
// and the questions only the blocks' bytes answer (whether one holds data,
// how far its payload is used). The bits past the last block are judged
// here too, as the bitmap is read here.
#include <algorithm>
#include <bit>
#include <vector>

#include "image/check_state.h"

namespace korvane::check_detail {
namespace {

constexpr uint32_t SweepBlocks = 256;  // 1 MiB of data area per read

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

}  // namespace

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

}  // namespace korvane::check_detail
