// What a crash can leave of a change of the table, and how a reader tells
// it: the rules the commit keeps (commit.cpp) and the checker and the mount
// read the image by, each written here once.
//
// A power cut may leave each 512-byte sector written since the last
// finished sync in any of the versions it had since then; a process killed
// part way leaves a prefix of its writes. So:
//   - a slot that straddles a sector boundary can land torn: one version's
//     bytes before the boundary, another's after it. Every version it
//     could take is kept whole in another slot until the change is
//     durable, so a torn slot is told by its halves (findTornSlots);
//   - an entry past tableEnd is a whole file when nothing but a cut change
//     can have left it there (hiddenFile), and a check takes it back.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "image/image.h"
#include "image/layout.h"
#include "image/status.h"

namespace korvane {

// The unit a disk writes whole, or not at all, once a sync has begun.
inline constexpr uint64_t SectorSize = 512;

inline uint64_t sectorOf(uint32_t blockCount, uint64_t slot) {
  return slotOffset(blockCount, slot) / SectorSize;
}
inline bool straddles(uint32_t blockCount, uint64_t slot) {
  return sectorOf(blockCount, slot) !=
         (slotOffset(blockCount, slot) + FileEntrySize - 1) / SectorSize;
}
// The bytes of a straddling slot before its sector boundary: the same for
// every slot, as sectors hold whole slots' worth of bytes. FileEntrySize
// when no slot straddles one.
inline uint32_t headBytes(uint32_t blockCount) {
  return static_cast<uint32_t>(FileEntrySize - tableStart(blockCount) % FileEntrySize);
}

// Whether a write of `now` over `old` in a straddling slot can tear it into
// a third entry: only when it changes the bytes on both sides of the
// boundary.
bool tears(uint32_t blockCount, const unsigned char* old, const unsigned char* now);

// A slot inside the table torn by a cut write: its head is slot `head`'s,
// whose tail differs, and its tail slot `tail`'s, whose head differs.
struct TornSlot {
  uint64_t slot, head, tail;
};

// The torn slots among the first `tableEntries` of `slots` (every slot of
// the image, as it stands). On a sound image there are none: with the
// boundary 12 bytes in or more the head holds firstBlock, which no two
// files share; before that the tail holds the whole name. Memory grows
// with the straddling slots only.
std::vector<TornSlot> findTornSlots(uint32_t blockCount, std::span<const FileEntry> slots,
                                    uint64_t tableEntries);

// Whether entry `e`, in a slot past tableEnd, is a whole file that a check
// takes back: its own fields sound, a name no kept file has (`nameTaken`),
// and a chain exactly as long as its size needs, every block of it
// marked used and owned by no file (`claimable(b)`). A bit is set only once
// the block's data is durable, and cleared in the commit of an erase, so
// nothing else passes. link(b, &next) reads block b's link. `budget`
// bounds the hops of all such walks together, as damaged chains may
// overlap: an entry whose walk would pass it is not one.
template <class Link, class Claimable>
Status hiddenFile(uint32_t blockCount, const FileEntry& e, bool nameTaken, Link&& link,
                  Claimable&& claimable, uint64_t* budget, bool* whole) {
  *whole = false;
  uint64_t need = blocksForFile(e.fileSize);
  if (!judgeEntry(blockCount, e) || e.nameView().empty() || nameTaken || need > *budget)
    return {};
  *budget -= need;
  // A chain that loops never reaches EndOfChain, so need hops decide.
  for (uint32_t b = e.firstBlock, i = 1;; ++i) {
    uint32_t next = 0;
    if (!claimable(b)) return {};
    if (Status s = link(b, &next); !s.ok()) return s;
    if (i == need) return *whole = next == EndOfChain, Status{};
    if (next >= blockCount) return {};
    b = next;
  }
}

// Whether a slot past tableEnd, before the first empty one, holds a whole
// file (hiddenFile), read from the image: a reader that would hand those
// slots to new files asks first. Such entries lie right after the table,
// as a commit leaves its copies next to it; what erases leave there fails
// the test, as their blocks are free or their names in use.
Status findHiddenFile(Image& img, const std::function<bool(std::string_view)>& nameTaken,
                      const std::function<bool(uint32_t)>& claimable, bool* found);

}  // namespace korvane
