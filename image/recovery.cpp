#include "image/recovery.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvane {
namespace {

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

bool tears(uint32_t blockCount, const unsigned char* old, const unsigned char* now) {
  size_t head = headBytes(blockCount);
  return std::memcmp(old, now, head) != 0 &&
         std::memcmp(old + head, now + head, FileEntrySize - head) != 0;
}

// A write cut by a power cut may land a slot that straddles a sector
// boundary in part: one version's bytes before the boundary, another's
// after it. Each version is whole in another slot: a moved entry in the
// slot it came from, and the old and new bytes of a changed straddling slot
// in the copies its change keeps past the table. So a slot is torn when its
// head is some slot's whose tail differs and its tail some slot's whose
// head differs.
std::vector<TornSlot> findTornSlots(uint32_t blockCount, std::span<const FileEntry> slots,
                                    uint64_t tableEntries) {
  std::vector<TornSlot> torn;
  uint32_t split = headBytes(blockCount);
  if (split == FileEntrySize) return torn;  // sectors hold whole slots
  HalfIndex heads(split, false), tails(split, true);
  unsigned char raw[FileEntrySize];
  bool any = false;
  for (uint32_t slot = 0; slot < tableEntries; ++slot) {
    if (!straddles(blockCount, slot)) continue;
    encodeEntry(raw, slots[slot]);
    heads.want(raw), tails.want(raw), any = true;
  }
  for (uint32_t slot = 0; any && slot < slots.size(); ++slot)
    encodeEntry(raw, slots[slot]), heads.see(slot, raw), tails.see(slot, raw);
  for (uint32_t slot = 0; slot < tableEntries; ++slot) {
    if (!straddles(blockCount, slot)) continue;
    encodeEntry(raw, slots[slot]);
    uint32_t head = heads.match(slot, raw), tail = tails.match(slot, raw);
    if (head != HalfIndex::None && tail != HalfIndex::None) torn.push_back({slot, head, tail});
  }
  return torn;
}

Status findHiddenFile(Image& img, const std::function<bool(std::string_view)>& nameTaken,
                      const std::function<bool(uint32_t)>& claimable, bool* found) {
  *found = false;
  uint32_t blockCount = img.blockCount();
  uint64_t budget = 2 * uint64_t{blockCount};
  auto link = [&img](uint32_t b, uint32_t* next) {
    unsigned char raw[4];
    Status s = readExact(img.file(), img.blockOffset(b) + BlockPayload, raw, sizeof raw);
    *next = decodeU32(raw);
    return s;
  };
  std::vector<unsigned char> batch;
  for (uint64_t slot = img.entryCount(), end = slot; slot < blockCount; ++slot) {
    if (slot == end) {  // the table is read a batch of slots at a time
      end = std::min<uint64_t>(slot + TableBatch, blockCount);
      batch.resize((end - slot) * FileEntrySize);
      if (Status s = readExact(img.file(), img.slotOffset(slot), batch.data(), batch.size());
          !s.ok())
        return s;
    }
    const unsigned char* raw = batch.data() + (batch.size() - (end - slot) * FileEntrySize);
    if (std::all_of(raw, raw + FileEntrySize, [](unsigned char c) { return c == 0; })) return {};
    FileEntry e = decodeEntry(raw);
    if (Status s = hiddenFile(blockCount, e, nameTaken(e.nameView()), link, claimable, &budget,
                              found);
        !s.ok() || *found)
      return s;
  }
  return {};
}

}  // namespace korvane
