// An image held open as a file system, for a mount: the file operations a
// kernel asks for, each returning a Status and printing nothing.
//
// Every file being changed is a draft: its bytes live in blocks of its own,
// taken lowest free first (in memory: the image marks them in the commit
// that names them), which no committed entry points to. A commit makes the
// draft the file: new files' entries go in at tableEnd, which then moves,
// as korvane -w does; a stored file's entry is rewritten in place to name
// the draft's chain, and only then is the old chain zeroed and freed. A
// crash at any point therefore leaves every committed file whole, with at
// worst blocks marked used that no file owns, or free blocks holding bytes.
// Changing a stored file copies the part of it that is kept into its draft
// first.
//
// New files closed one after another are committed together, in the order
// they were closed: one write of all their entries past tableEnd, one sync
// (of those and all their bytes), tableEnd moved over them, one sync. Two
// syncs per file would make creating many small files wait on the disk for
// each one.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/block_pool.h"
#include "image/draft.h"
#include "image/env.h"
#include "image/image.h"
#include "image/commit.h"

namespace korvane {

// What a stat shows of a file or of the folder besides its size. The image
// keeps none of it: it lives as long as the volume does, and a file nobody
// has set or written shows the volume's defaults (see setDefaults).
struct Attributes {
  uint32_t mode = 0;  // the permission bits, 07777 at most
  uint32_t uid = 0;
  uint32_t gid = 0;
  timespec atime{};
  timespec mtime{};
  timespec ctime{};
};

struct VolumeStats {
  uint32_t blockCount = 0;
  uint32_t freeBlocks = 0;
  uint64_t files = 0;  // stored and being made
};

class Volume {
 public:
  // Opens the image at `path` read-write, holding its exclusive lock until
  // the volume is closed or destroyed, and walks every file's chain. With
  // Access::Read it is opened read-only under the shared lock, and every
  // change is refused (IoError, EROFS). On failure: OpenFailed, Locked,
  // IoError, or Damaged when the header, a name, a size or a chain is damaged, a name is repeated, two files share
  // a block, a file's block is marked free, a bit past the last block is
  // set, or tableEnd hides a whole entry (a checker mends them first).
  // Blocks marked used that no file owns, which a crash leaves, are let be.
  // Another run's lock is waited for at most `waitMs`.
  static Status open(Env& env, const char* path, std::unique_ptr<Volume>* out,
                     int waitMs = LockWaitMs, Access access = Access::Write);
  ~Volume();

  // The names a listing shows, in table order (new files last, in the
  // order they will be stored): every file but those whose
  // stored name no path can spell (empty, ".", "..", or holding a '/').
  std::vector<std::string> names() const;
  // The file's current size, its draft's when it has one. NotStored.
  Status size(std::string_view name, uint64_t* bytes);

  // What every file shows until it is set or written, and what the folder
  // shows until it is set or changed.
  void setDefaults(const Attributes& files, const Attributes& folder);
  // The file's attributes, or the folder's for the empty name. NotStored.
  Status attributes(std::string_view name, Attributes* out) const;
  // Replaces them; the change time becomes now. NotStored, IoError (EROFS).
  // A file's modification time becomes now when it is written or resized,
  // and its change time also when it is renamed; the folder's both when a
  // file is created, removed or renamed. Nothing else moves a time.
  Status setAttributes(std::string_view name, const Attributes& shown);
  VolumeStats stats() const;

  // Makes an empty file showing `shown` (the defaults when null), its times
  // now: NameTooLong, Exists, NoSpace (it needs a block), IoError. It is
  // stored once committed.
  Status create(std::string_view name, const Attributes* shown = nullptr);
  // Reads up to `len` bytes at `offset`; *got is short only at the end.
  // NotStored, Damaged (its chain), IoError.
  Status read(std::string_view name, uint64_t offset, size_t len, char* buf, size_t* got);
  // Cuts a write of *len bytes at `offset` to what fits the file and the
  // image, as a full disk takes the part of a write it has room for:
  // NotStored, and FileTooLarge or NoSpace when not a byte fits. What else
  // write() may meet is a failing host.
  Status fits(std::string_view name, uint64_t offset, size_t* len);
  // Writes `len` bytes at `offset`, growing the file with zero bytes when
  // the offset lies past its end; all or nothing (fits() says how much
  // would go). NotStored, FileTooLarge, NoSpace, IoError;
  // on failure the draft may hold part of the write, the stored file none.
  Status write(std::string_view name, uint64_t offset, const char* data, size_t len);
  // Cuts or grows the file (with zero bytes) to `bytes`. As write.
  Status resize(std::string_view name, uint64_t bytes);
  // Commits the file's draft, if it has one, and syncs it; a new file is
  // committed with every new file queued before it. IoError: the draft
  // stays, and a later commit tries again; but a draft that a failed write
  // left part written is dropped, and the file is as last committed (a file
  // never committed is gone).
  Status commit(std::string_view name);
  // For a close: a changed stored file is committed as by commit(); a new
  // file is queued for the next group commit, which comes when GroupFiles
  // are queued, or by commitQueued(). With `keepUnwritten`, a new file
  // never written is left alone: programs close a copy of a new file's
  // descriptor before writing to it, and committing the empty file then
  // would make the bytes that follow take other blocks than korvane -w
  // gives them.
  Status commitLater(std::string_view name, bool keepUnwritten = false);
  // Commits every queued new file, in the order they were queued. As commit.
  Status commitQueued();
  // New files queued and not yet committed.
  size_t queued() const { return queued_; }
  // Whether a commit of queued files or of erases waits that can still be
  // made: commitQueued() makes both.
  bool pending() const { return stuck_.ok() && (queued_ > 0 || !erased_.empty()); }
  static constexpr size_t GroupFiles = 128;
  // Erases the file as korvane -e does (its draft too). NotStored, Damaged,
  // IoError. Its entry leaves the table at once, the later entries moved
  // down; the erase is committed with the next commit, or before any block
  // is taken or any entry rewritten: one sync, tableEnd, one sync, and only
  // then are the blocks zeroed and freed. Erases one after another share
  // those syncs. Freeing may fail: the blocks then stay used, counted in
  // leakedBlocks().
  Status remove(std::string_view name);
  // Renames `from` to `to`, replacing a file called `to` unless `noReplace`
  // (Exists then). A stored file replaced keeps its place in the table and
  // takes the renamed file's entry (see renameOver), so a crash leaves `to`
  // with its old bytes or its new ones, never neither. NotStored,
  // NameTooLong, NoSpace (a table with no free slot), IoError.
  Status rename(std::string_view from, std::string_view to, bool noReplace);

  // Commits every draft, then closes the image, reporting what the host
  // tells only now. The first failure is returned; every draft is tried.
  Status close();
  // Blocks left marked used by a free that failed after its commit.
  uint64_t leakedBlocks() const { return pool_.leaked(); }

 private:
  struct Node {
    bool stored = false;  // an entry in the table holds it
    uint64_t slot = 0;    // that entry's slot
    std::vector<uint32_t> chain;   // the stored file's blocks, in order
    std::unique_ptr<Draft> draft;  // the file's bytes while it changes, or null
    uint64_t storedBytes = 0;      // the stored file's size
    uint64_t queue = 0;           // its place among new files queued, or 0
    std::unique_ptr<Attributes> shown;  // null: the defaults
  };
  using Nodes = std::map<std::string, Node, std::less<>>;

  explicit Volume(std::unique_ptr<Image> img) : img_(std::move(img)) {}
  // The size now: the draft's while it has one.
  static uint64_t sizeOf(const Node& n) { return n.draft ? n.draft->bytes() : n.storedBytes; }
  Status loadTable(std::vector<unsigned char>* owned);
  Status refuseHiddenEntry(const std::vector<unsigned char>& owned);
  Status writable() const;
  Attributes& shownOf(Node& n);
  void written(Node& n);
  void folderChanged();
  void moved(Nodes::iterator it, std::string_view to);
  Status find(std::string_view name, Nodes::iterator* it);
  Status makeDraft(Node& n, uint64_t keep);
  Status room(const Node& n, uint64_t end) const;
  void forgetBlocks(const std::vector<uint32_t>& blocks);
  Status dropDraft(Nodes::iterator it);
  void enqueue(Node& n);
  struct Rename {
    uint64_t slot = 0;  // in the table the erases leave
    std::string name;
  };
  Status commitErases(const Rename* rename = nullptr);
  Status replace(Nodes::iterator it, std::string_view to);
  Status commitStored(std::string_view name, Node& n);

  std::unique_ptr<Image> img_;
  BlockPool pool_;
  uint64_t storedCount_ = 0;
  uint64_t lastQueued_ = 0;
  size_t queued_ = 0;
  bool readOnly_ = false;
  Attributes files_;     // what a file shows until set or written
  Attributes folder_;
  Status stuck_;         // a failed sync of erases, told from then on
  std::vector<uint64_t> erased_;  // slots of erases not yet committed, in order
  std::vector<uint32_t> doomed_;  // erased files' blocks, freed by commitErases()
  Nodes nodes_;
};

}  // namespace korvane
