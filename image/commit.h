// Changing the file table, the bitmap and the header so that no crash loses
// a file: the only writer of the three. What a crash may leave, and how a
// reader tells it, is in recovery.h. A change of the table is made in two
// stretches, each ended by a sync:
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
#include <string_view>
#include <vector>

#include "image/chain.h"
#include "image/image.h"

namespace korvane {

// The slot of an entry that was in no slot before.
inline constexpr uint64_t NoSlot = ~uint64_t{0};

// One change of the table and the bitmap, made by commitEdit() in one piece.
// It is built from named operations, each on the table the ones before it
// leave; one that names no entry spoils the edit, and commitEdit() then
// refuses it (NotStored) before writing anything.
class TableEdit {
 public:
  // A change of `img`'s table as it stands.
  explicit TableEdit(const Image& img);

  // Appends `entry`. `from`: the slot past the table it lies in already
  // (a check taking it back), or NoSlot.
  TableEdit& add(const FileEntry& entry, uint64_t from = NoSlot);
  // Erases the entry in `slot`: the later ones move down, and the slot the
  // last one leaves keeps its bytes, as one erase after another leaves it.
  TableEdit& remove(uint64_t slot);
  // Gives the entry in `slot` the name `name`, which must fit.
  TableEdit& rename(uint64_t slot, std::string_view name);
  // Puts `entry` in `slot`; `from` is the slot it came from, when it moved.
  TableEdit& rewrite(uint64_t slot, const FileEntry& entry, uint64_t from = NoSlot);
  // Writes `entry` into the first slot past both the old table and the new
  // one, before the commit: whole past the table, where a check takes it
  // back should the change go no further. It comes after the edit's other
  // changes of the table, which decide where that slot is.
  TableEdit& park(const FileEntry& entry);
  // Blocks marked used with the commit; the caller wrote their data.
  TableEdit& mark(const std::vector<Run>& runs);
  // Blocks marked free with the commit, then zeroed.
  TableEdit& free(const std::vector<Run>& runs);
  // Blocks zeroed, then marked free, once the commit is durable: the old
  // chain of a file that the commit gives a new one.
  TableEdit& freeAfter(const std::vector<Run>& runs);
  // The copies a commit stages lie at `slot` or past it: a check still
  // reads the slots below.
  TableEdit& copiesFrom(uint64_t slot);

  // The slot of the table as it stands whose entry is in `slot` after the
  // edit, or NoSlot (a new entry, or past the edited table).
  uint64_t origin(uint64_t slot) const;

 private:
  friend class TableCommit;
  // A slot's bytes after the edit: those slot `from` holds now, or
  // `known[entry - 1]` (its name alone when `nameOnly`).
  struct Piece {
    uint64_t from = NoSlot;
    uint32_t entry = 0;
    bool nameOnly = false;
  };
  Piece& at(uint64_t slot);
  TableEdit& spoil() { return spoiled_ = true, *this; }

  uint64_t oldEnd_, end_;  // entries before the edit, and after the operations so far
  uint64_t limit_;         // the slots the table has: an add past them spoils the edit
  uint64_t first_;               // pieces_[0] is slot first_
  std::vector<Piece> pieces_;    // the slots written, from first_
  std::vector<FileEntry> known_;
  std::vector<Run> mark_, free_, freeAfter_;
  uint64_t copiesFrom_ = 0;
  bool spoiled_ = false;
};

// What a commit came to, told in one value.
struct CommitOutcome {
  Status status;              // NotStored (a spoiled edit), NoSpace, or IoError
  bool mayBeOnDisk = false;   // the change may be on the disk, even on failure:
                              // the caller must not take back what it names
  Status cleanup;             // a failure after the commit: blocks not zeroed or
                              // freed are leaked, which a check mends
  bool ok() const { return status.ok(); }
  // Folds in the outcome of a commit made after this one.
  CommitOutcome& then(const CommitOutcome& next);
};

// Makes `edit`: one sync before the commit when anything is appended,
// copied, parked or marked, one after it. A table without free slots for
// the copies is written a sector at a time instead, each one synced:
// slower, and as safe, but for an entry changed in place across a sector
// boundary. A failed last sync writes the old slots, tableEnd and bits
// back when it can, and then the change is not on the disk. Nothing after
// the commit fails it: that is `cleanup`.
CommitOutcome commitEdit(Image& img, const TableEdit& edit);

// The runs of consecutive blocks among `blocks`, sorted and joined.
std::vector<Run> runsOf(std::vector<uint32_t> blocks);

// Renames the entry in slot `from` over the one in slot `to`, in two
// commits. The first erases `from`, its blocks kept marked, its entry left
// whole past the table's end (parked in the slot past the old end first,
// unless it was the last), where a check would take it back: the target
// is as it was, and the renamed file's blocks are owned by no listed file.
// The second writes that entry, under the target's name, into the
// target's slot (one lower when `from` lay below it) and frees `freed`,
// the target's blocks; a target that was last leaves its old entry past
// the table, which the renamed one replaces first. So a crash or a cut at
// any point leaves the target with its old bytes or its new ones, and at
// worst blocks that no listed file owns, and no pair of slots past the
// table that a check could take for the halves of the renamed entry torn.
// The parked slot gets its old bytes back after. On failure: NotStored (a
// slot past the table), NoSpace (a full table, with no slot to park in),
// IoError.
CommitOutcome renameOver(Image& img, uint64_t from, uint64_t to, const std::vector<Run>& freed);

// Writes a header: its three fields in one write, which no sector boundary
// splits, then a sync, so everything found through it after is found by
// the header written. For a new image, and a check mending one. On
// failure: IoError.
Status writeHeader(File& f, const Header& h);

// Clears the bits past the last block, which share the bitmap's last byte
// with real ones, and syncs. On failure: IoError.
Status clearSpareBits(Image& img);

}  // namespace korvane
