// Changing the file table and the bitmap so that a power cut loses no file.
//
// A power cut may leave each 512-byte sector written since the last
// finished sync in any of the versions it had since then. A change of the
// table is therefore made in two stretches, each ended by a sync:
//   1. what no reader sees yet: entries appended past tableEnd, and copies
//      of each entry a torn write could take from every slot holding it (an
//      entry moved to another sector, and the old and the new bytes of a
//      slot that straddles a sector boundary and changes on both sides of
//      it), in free slots past everything the change reads or writes that
//      straddle none;
//   2. the commit: bits set, the table's slots, tableEnd, bits cleared.
//      An entry appended from another slot past tableEnd (a check taking
//      back what a cut change left there) goes here too, as a move.
// After it, blocks let go are zeroed (and some then marked free), and the
// scratch slots get their old bytes back, none of it synced.
//
// A block's bit is so set on the disk only once its data (and a new
// file's entry past tableEnd) is durable, and it is cleared before the
// sync that commits its erase. Within the commit it is set before the
// table names it and cleared once the table no longer does: a process
// killed part way, which leaves a prefix of the writes, leaves at worst
// marked blocks that no listed entry names, or free ones holding bytes.
// A chain whose every block is marked, named by an entry past tableEnd
// that no kept entry repeats, is a whole file, which a check takes back.
// Any other bytes past tableEnd are not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/chain.h"
#include "image/image.h"

namespace korvane {

// The slot of an entry that was in no slot before.
inline constexpr uint64_t NoSlot = ~uint64_t{0};

struct TableEdit {
  uint64_t first = 0;            // the first slot written
  std::vector<FileEntry> slots;  // slots [first, first + slots.size()) after the change
  std::vector<uint64_t> from;    // for each: the slot its entry was in, or NoSlot
  uint64_t end = 0;              // entries in the table after the change
  std::vector<Run> mark;         // marked used with the commit; their data written before
  std::vector<Run> unmark;       // marked free with the commit, zeroed after it
  std::vector<Run> release;      // zeroed, then marked free, after the commit
  uint64_t scratchFrom = 0;      // the copies go no lower: a check still reads the slots below
};

// Makes `edit`: one sync before the commit when anything is appended,
// copied or marked, one after it. A table without free slots for the
// copies is written a sector at a time instead, each one synced: slower,
// and as safe, but for an entry changed in place across a sector boundary.
// *visible tells whether the commit may be on the disk (then the caller
// must not take back what it names); a failed last sync writes the old
// slots, tableEnd and bits back when it can, and clears it. Nothing after
// the commit fails the call: a block not zeroed or freed then is leaked,
// which a check mends; *afterwards, when given, tells of it. On failure:
// IoError.
Status commitTable(Image& img, const TableEdit& edit, bool* visible,
                   Status* afterwards = nullptr);

// The runs of consecutive blocks among `blocks`, sorted and joined.
std::vector<Run> runsOf(std::vector<uint32_t> blocks);

// New files: their entries go into the slots at tableEnd, synced with the
// files' bytes; then tableEnd moves over them and `mark` (their blocks) is
// set. The caller checks that the table has room.
Status appendEntries(Image& img, const std::vector<FileEntry>& entries,
                     const std::vector<Run>& mark, bool* visible);

// Makes the stored file in `slot` the one `entry` describes, whose chain
// (`mark`) the caller wrote; `release` (the old chain) is zeroed and freed
// once the new entry is durable.
Status rewriteEntry(Image& img, uint64_t slot, const FileEntry& entry,
                    const std::vector<Run>& mark, const std::vector<Run>& release,
                    bool* visible, Status* afterwards = nullptr);

struct Rename {
  uint64_t slot = 0;  // in the table the erases leave
  std::string name;
};

// Erases the entries in `erased`, in that order, each slot counted in the
// table the erases before it left, in one commit: the later entries move
// down, and the slots past the new end keep what as many erases one after
// another would leave there. `freed` (the erased files' blocks, none that
// another entry names) is cleared with the commit and zeroed after it.
// With `rename`, the entry then in rename->slot takes its name first, in a
// commit of its own. *visible tells whether either commit may be on the
// disk.
Status eraseEntries(Image& img, const std::vector<uint64_t>& erased,
                    const std::vector<Run>& freed, const Rename* rename, bool* visible,
                    Status* afterwards = nullptr);

// Renames the entry in slot `from` over the one in slot `to`, in two
// commits. The first erases `from`, its blocks kept marked, its entry left
// whole past the table's end (copied to the slot past the old end first,
// unless it was the last), where a check would take it back: the target
// is as it was, and the renamed file's blocks are owned by no listed file.
// The second writes that entry, under the target's name, into the
// target's slot (one lower when `from` lay below it) and clears `freed`,
// the target's blocks, zeroing them after; a target that was last leaves
// its old entry past the table, which the renamed one replaces first. So a
// crash or a cut at any point leaves the target with its old bytes or its
// new ones, and at worst blocks that no listed file owns, and no pair of
// slots past the table that a check could take for the halves of the
// renamed entry torn. The copy's slot gets its old bytes back after.
// *visible tells whether either commit may be on the disk. On failure:
// NotStored (a slot past the table), NoSpace (a full table, with no slot
// for the copy), IoError.
Status renameOver(Image& img, uint64_t from, uint64_t to, const std::vector<Run>& freed,
                  bool* visible, Status* afterwards = nullptr);

}  // namespace korvane
