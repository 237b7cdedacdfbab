#include "mount/volume.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <utility>

#include "image/chain.h"
#include "image/draft.h"
#include "image/recovery.h"
#include "image/remove.h"

namespace korvane {
namespace {

// A name a path can spell as one file in one folder.
bool showable(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos;
}

timespec now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

}  // namespace

Volume::~Volume() = default;

Status Volume::open(Env& env, const char* path, std::unique_ptr<Volume>* out, int waitMs,
                    Access access) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, path, access, &img, waitMs); !s.ok()) return s;
  std::unique_ptr<Volume> v(new Volume(std::move(img)));
  if (Status s = v->pool_.load(*v->img_); !s.ok()) return s;
  v->readOnly_ = access == Access::Read;
  // Blocks korvane -e would have freed by now are free before any is taken.
  v->pool_.beforeTaking([raw = v.get()] { return raw->commitErases(); });
  // Bits past the last block mark nothing: set, the bitmap is damaged.
  if (v->pool_.spareBitsSet()) return Status::fail(Error::Damaged);
  std::vector<unsigned char> owned(static_cast<size_t>(bitmapBytes(v->img_->blockCount())));
  if (Status s = v->loadTable(&owned); !s.ok()) return s;
  if (Status s = v->refuseHiddenEntry(owned); !s.ok()) return s;
  *out = std::move(v);
  return {};
}

// Reads the table and walks every chain once, so that what is served can be
// trusted: names that end within their field and differ, sizes that agree
// with lastBlockBytes, chains sound and sharing no block, every block of a
// file marked used (*owned marks them); a write then never lands in another
// file. Blocks marked used that no file owns are what a crash leaves, and
// the volume never takes them; the contents of free blocks nothing reads.
// So the cost grows with the blocks in use, not with the image.
Status Volume::loadTable(std::vector<unsigned char>* owned) {
  storedCount_ = img_->entryCount();
  Status walk;
  bool sound = true;
  Status s = img_->forEachEntry([&](uint64_t slot, const FileEntry& e) {
    Node n;
    n.stored = true;
    n.slot = slot;
    n.storedBytes = e.fileSize;
    walk = walkChain(*img_, e, [&](const Run& r) {
      for (uint32_t b = r.first; b < r.first + r.count; ++b) {
        if (testBit(owned->data(), b) || !pool_.used(b))
          return Status::fail(Error::Damaged);
        setBit(owned->data(), b);
        n.chain.push_back(b);
      }
      return Status{};
    });
    sound = walk.ok() && judgeEntry(img_->blockCount(), e) &&
            nodes_.emplace(std::string(e.nameView()), std::move(n)).second;
    return sound;
  });
  if (!s.ok()) return s;
  if (!walk.ok()) return walk;
  return sound ? Status{} : Status::fail(Error::Damaged);
}

// A whole file past tableEnd is one a check takes back: a commit cut short
// before tableEnd moved, an entry whose move a cut tore (its copy), or one
// a damaged tableEnd hides. New files would take its slot, so such an
// image is not served.
Status Volume::refuseHiddenEntry(const std::vector<unsigned char>& owned) {
  bool found = false;
  Status s = findHiddenFile(
      *img_, [this](std::string_view name) { return nodes_.count(name) > 0; },
      [&](uint32_t b) { return pool_.used(b) && !testBit(owned.data(), b); }, &found);
  if (!s.ok()) return s;
  return found ? Status::fail(Error::Damaged) : Status{};
}

std::vector<std::string> Volume::names() const {
  // Stored files by slot, then new files in the order they will be stored.
  std::vector<std::pair<uint64_t, std::string>> order;
  for (const auto& [name, node] : nodes_)
    if (showable(name))
      order.emplace_back(node.stored  ? node.slot
                         : node.queue ? storedCount_ + node.queue
                                      : UINT64_MAX,
                         name);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (auto& [key, name] : order) out.push_back(std::move(name));
  return out;
}

VolumeStats Volume::stats() const {
  return {img_->blockCount(), static_cast<uint32_t>(pool_.freeBlocks() + doomed_.size()),
          nodes_.size()};
}

// Every change starts here: a read-only volume never writes its image.
Status Volume::writable() const {
  return readOnly_ ? Status::fail(Error::IoError, EROFS) : Status{};
}

Status Volume::find(std::string_view name, Nodes::iterator* it) {
  *it = nodes_.find(name);
  return *it == nodes_.end() ? Status::fail(Error::NotStored) : Status{};
}

Status Volume::size(std::string_view name, uint64_t* bytes) {
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  *bytes = sizeOf(it->second);
  return {};
}

void Volume::setDefaults(const Attributes& files, const Attributes& folder) {
  files_ = files;
  folder_ = folder;
}

Status Volume::attributes(std::string_view name, Attributes* out) const {
  if (name.empty()) {
    *out = folder_;
    return {};
  }
  auto it = nodes_.find(name);
  if (it == nodes_.end()) return Status::fail(Error::NotStored);
  *out = it->second.shown ? *it->second.shown : files_;
  return {};
}

Status Volume::setAttributes(std::string_view name, const Attributes& shown) {
  if (Status s = writable(); !s.ok()) return s;
  Attributes* to = &folder_;
  if (!name.empty()) {
    Nodes::iterator it;
    if (Status s = find(name, &it); !s.ok()) return s;
    to = &shownOf(it->second);
  }
  *to = shown;
  to->mode &= 07777;
  to->ctime = now();
  return {};
}

// A file's own attributes, made from the defaults the first time one
// changes: files never set cost a pointer each.
Attributes& Volume::shownOf(Node& n) {
  if (!n.shown) n.shown = std::make_unique<Attributes>(files_);
  return *n.shown;
}

void Volume::written(Node& n) {
  Attributes& a = shownOf(n);
  a.mtime = a.ctime = now();
}

void Volume::folderChanged() { folder_.mtime = folder_.ctime = now(); }

// Gives the file a draft holding its first `keep` bytes, unless it has one.
Status Volume::makeDraft(Node& n, uint64_t keep) {
  if (n.draft) return {};
  auto draft = std::make_unique<Draft>(*img_, pool_);
  if (Status s = draft->copy(n.chain, keep); !s.ok()) return s;
  n.draft = std::move(draft);
  return {};
}

void Volume::forgetBlocks(const std::vector<uint32_t>& blocks) { pool_.giveBack(blocks); }

Status Volume::create(std::string_view name, const Attributes* shown) {
  if (Status s = writable(); !s.ok()) return s;
  if (name.size() > MaxNameLength) return Status::fail(Error::NameTooLong);
  if (nodes_.count(name)) return Status::fail(Error::Exists);
  Node n;
  n.draft = std::make_unique<Draft>(*img_, pool_);
  if (Status s = n.draft->resize(0); !s.ok()) {
    (void)n.draft->discard();
    return s;
  }
  n.shown = std::make_unique<Attributes>(shown ? *shown : files_);
  n.shown->mode &= 07777;
  n.shown->atime = n.shown->mtime = n.shown->ctime = now();
  nodes_.emplace(std::string(name), std::move(n));
  folderChanged();
  return {};
}

Status Volume::read(std::string_view name, uint64_t offset, size_t len, char* buf, size_t* got) {
  *got = 0;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  const Node& n = it->second;
  return readChainBytes(*img_, n.draft ? n.draft->blocks() : n.chain, sizeOf(n), offset, len, buf,
                        got);
}

// Whether the file can be `end` bytes long: checked before its draft is
// made, so a change refused for space leaves no draft behind.
Status Volume::room(const Node& n, uint64_t end) const {
  if (end > MaxFileSize) return Status::fail(Error::FileTooLarge);
  uint64_t have = n.draft ? n.draft->blocks().size() : 0;
  uint64_t need = blocksForFile(end);
  uint64_t free = pool_.freeBlocks() + doomed_.size();
  return need > have && need - have > free ? Status::fail(Error::NoSpace) : Status{};
}

Status Volume::fits(std::string_view name, uint64_t offset, size_t* len) {
  if (Status s = writable(); !s.ok()) return s;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  const Node& n = it->second;
  uint64_t size = sizeOf(n);
  if (*len == 0 || room(n, std::max<uint64_t>(size, offset + *len)).ok()) return {};
  // The draft may grow to every block it has and every free one: a stored
  // file's draft is a copy, so it has none yet.
  uint64_t blocks = (n.draft ? n.draft->blocks().size() : 0) + pool_.freeBlocks() + doomed_.size();
  uint64_t end = std::min(blocks * BlockPayload, MaxFileSize);
  if (end <= offset || end < size)
    return room(n, std::max<uint64_t>(size, offset + *len));
  *len = static_cast<size_t>(std::min<uint64_t>(*len, end - offset));
  return {};
}

Status Volume::write(std::string_view name, uint64_t offset, const char* data, size_t len) {
  size_t fit = len;
  if (Status s = fits(name, offset, &fit); !s.ok() || len == 0) return s;
  Node& n = nodes_.find(name)->second;
  if (fit < len) return room(n, offset + len);
  if (Status s = makeDraft(n, sizeOf(n)); !s.ok()) return s;
  if (Status s = n.draft->write(offset, data, len); !s.ok()) return s;
  written(n);
  return {};
}

Status Volume::resize(std::string_view name, uint64_t bytes) {
  if (Status s = writable(); !s.ok()) return s;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  uint64_t size = sizeOf(n);
  Status s = bytes == size ? Status{} : room(n, bytes);
  // A stored file cut short copies only what it keeps: its draft is then
  // `bytes` long already.
  if (s.ok() && bytes != size) s = makeDraft(n, std::min(size, bytes));
  if (s.ok() && bytes != size) s = n.draft->resize(bytes);
  // A truncate marks the file modified even when its size stays; one
  // refused leaves it as it was.
  if (sizeOf(n) == bytes) written(n);
  return s;
}

Status Volume::commit(std::string_view name) {
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  if (!n.draft) return {};
  if (n.draft->broken()) return dropDraft(it);
  if (n.stored) return commitStored(name, n);
  enqueue(n);
  return commitQueued();
}

Status Volume::commitLater(std::string_view name, bool keepUnwritten) {
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  if (n.stored || (n.draft && n.draft->broken())) return commit(name);
  if (!n.draft || (keepUnwritten && n.draft->bytes() == 0)) return {};
  enqueue(n);
  return queued_ >= GroupFiles ? commitQueued() : Status{};
}

// Commits the erases made since the last commit in one, with `rename` if
// given: the entries move down, tableEnd drops and the erased files' bits
// clear together, after which their blocks are zeroed and may be taken.
// A commit that failed is not tried again: the host may have dropped the
// writes it could not store and report the next sync a success. The erases
// then stay uncommitted in memory, their blocks leaked, and every later
// change that would follow them fails.
Status Volume::commitErases(const Rename* rename) {
  if (!stuck_.ok()) return stuck_;
  if (erased_.empty() && !rename) return {};
  TableEdit erase(*img_);
  for (uint64_t slot : erased_) erase.remove(slot);
  erase.free(runsOf(doomed_));
  // The rename goes first, in a commit of its own, so that no write the
  // erases move can carry an entry under two names. Its slot is counted in
  // the table the erases leave.
  CommitOutcome done;
  if (rename) {
    uint64_t slot = erase.origin(rename->slot);
    done = slot == NoSlot ? CommitOutcome{Status::fail(Error::NotStored), false, {}}
                          : commitEdit(*img_, TableEdit(*img_).rename(slot, rename->name));
  }
  if (done.ok() && !erased_.empty()) done.then(commitEdit(*img_, erase));
  if (!done.ok()) {
    stuck_ = done.status;
    pool_.leak(doomed_.size());
    doomed_.clear();
    return done.status;
  }
  erased_.clear();
  // Blocks not zeroed are free in the image but hold old bytes: never
  // taken again, for a check to zero.
  if (done.cleanup.ok()) forgetBlocks(doomed_);
  else pool_.leak(doomed_.size());
  doomed_.clear();
  return {};
}

void Volume::enqueue(Node& n) {
  if (n.queue) return;
  n.queue = ++lastQueued_;
  ++queued_;
}

// Drops a draft that a failed write broke, the file left as last committed
// (a file never committed is gone): the failure its program is told of.
Status Volume::dropDraft(Nodes::iterator it) {
  Node& n = it->second;
  (void)n.draft->discard();
  n.draft.reset();
  if (n.queue) --queued_;
  n.queue = 0;
  if (!n.stored) nodes_.erase(it);
  return Status::fail(Error::IoError, EIO);
}

// The queued files' entries go in at tableEnd in one write, behind one sync
// of their bytes and bits, and tableEnd moves over them all at once. A file
// that a failed write broke is dropped first; the others are committed.
Status Volume::commitQueued() {
  if (Status s = commitErases(); !s.ok()) return s;
  Status first;
  std::vector<Nodes::iterator> group;
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    auto next = std::next(it);
    if (it->second.queue && it->second.draft->broken()) first = dropDraft(it);
    else if (it->second.queue) group.push_back(it);
    it = next;
  }
  std::sort(group.begin(), group.end(),
            [](auto a, auto b) { return a->second.queue < b->second.queue; });
  std::vector<FileEntry> entries;
  for (auto it : group)
    entries.push_back(makeEntry(it->first, it->second.draft->blocks()[0],
                                static_cast<uint32_t>(it->second.draft->bytes())));
  std::vector<uint32_t> blocks;
  for (auto it : group)
    blocks.insert(blocks.end(), it->second.draft->blocks().begin(), it->second.draft->blocks().end());
  TableEdit added(*img_);
  for (const FileEntry& e : entries) added.add(e);
  CommitOutcome done = entries.empty() ? CommitOutcome{} : commitEdit(*img_, added.mark(runsOf(blocks)));
  // A commit that may not have reached the disk is taken back when it can
  // be; when it cannot, the image holds it, and so does the volume.
  for (auto it : done.mayBeOnDisk ? group : std::vector<Nodes::iterator>{}) {
    Node& n = it->second;
    n.stored = true;
    n.slot = storedCount_++;
    n.storedBytes = n.draft->bytes();
    n.chain = n.draft->takeBlocks();
    n.draft.reset();
    n.queue = 0;
    --queued_;
  }
  return first.ok() ? done.status : first;
}

// One write of the entry, in place, swaps the stored chain for the draft's;
// the old chain is freed only once that write is on the disk.
Status Volume::commitStored(std::string_view name, Node& n) {
  if (Status s = commitErases(); !s.ok()) return s;
  FileEntry entry = makeEntry(name, n.draft->blocks()[0], static_cast<uint32_t>(n.draft->bytes()));
  CommitOutcome done = commitEdit(*img_, TableEdit(*img_)
                                             .rewrite(n.slot, entry)
                                             .mark(runsOf(n.draft->blocks()))
                                             .freeAfter(runsOf(n.chain)));
  if (!done.mayBeOnDisk) return done.status;
  std::vector<uint32_t> old = std::move(n.chain);
  n.storedBytes = n.draft->bytes();
  n.chain = n.draft->takeBlocks();
  n.draft.reset();
  // Unsure whether the new entry is durable, or the old chain freed, the
  // volume keeps the old blocks, unowned.
  if (!done.ok() || !done.cleanup.ok()) pool_.leak(old.size());
  else forgetBlocks(old);
  return done.status;
}

Status Volume::remove(std::string_view name) {
  if (Status s = writable(); !s.ok()) return s;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  // New files closed before are stored first, as korvane -w would have
  // stored them before this erase: the table's bytes follow from the order.
  if (queued_ > 0) {
    if (Status s = commitQueued(); !s.ok()) return s;
    if (Status s = find(name, &it); !s.ok()) return s;
  }
  Node& n = it->second;
  if (n.stored) {
    // The erase is made on the disk by the next commit, with any made
    // before it.
    erased_.push_back(n.slot);
    doomed_.insert(doomed_.end(), n.chain.begin(), n.chain.end());
    for (auto& [other, node] : nodes_)
      if (node.stored && node.slot > n.slot) --node.slot;
    --storedCount_;
  }
  Status s = n.draft ? n.draft->discard() : Status{};
  if (n.queue) --queued_;
  nodes_.erase(it);
  folderChanged();
  return s;
}

Status Volume::rename(std::string_view from, std::string_view to, bool noReplace) {
  if (Status s = writable(); !s.ok()) return s;
  if (to.size() > MaxNameLength) return Status::fail(Error::NameTooLong);
  Nodes::iterator it;
  if (Status s = find(from, &it); !s.ok()) return s;
  if (from == to) return {};
  if (nodes_.count(to)) {
    if (noReplace) return Status::fail(Error::Exists);
    // A new file is stored before it replaces one, as an editor's copy
    // renamed over the original must never leave neither on the disk.
    if (!it->second.stored) {
      if (Status s = commit(from); !s.ok()) return s;
      if (Status s = find(from, &it); !s.ok()) return s;
    }
    // Files queued to be stored are stored first, as remove() would store
    // them: a queued target is then replaced as a stored one.
    if (queued_ > 0) {
      if (Status s = commitQueued(); !s.ok()) return s;
      if (Status s = find(from, &it); !s.ok()) return s;
    }
    if (nodes_.find(to)->second.stored) return replace(it, to);
    if (Status s = remove(to); !s.ok()) return s;
    it = nodes_.find(from);
  }
  Node& n = it->second;
  if (n.stored) {
    Rename r{n.slot, std::string(to)};
    if (Status s = commitErases(&r); !s.ok()) return s;
  }
  moved(it, to);
  return {};
}

// Gives the node of a renamed file its new name; its change time, and the
// folder's times, become now.
void Volume::moved(Nodes::iterator it, std::string_view to) {
  auto node = nodes_.extract(it);
  node.key() = std::string(to);
  shownOf(node.mapped()).ctime = now();
  nodes_.insert(std::move(node));
  folderChanged();
}

// Renames the stored file `it` over the stored file `to`: it takes the
// target's slot, and the target's blocks are freed, in the commits of
// renameOver, after the erases made before.
Status Volume::replace(Nodes::iterator it, std::string_view to) {
  if (Status s = commitErases(); !s.ok()) return s;
  auto target = nodes_.find(to);
  Node &n = it->second, &old = target->second;
  CommitOutcome done = renameOver(*img_, n.slot, old.slot, runsOf(old.chain));
  if (!done.ok()) {
    // The table on the disk may no longer be the one held here.
    if (done.mayBeOnDisk) stuck_ = done.status;
    return done.status;
  }
  uint64_t from = n.slot, at = old.slot - (old.slot > from);
  for (auto& [other, node] : nodes_)
    if (node.stored && node.slot > from) --node.slot;
  if (done.cleanup.ok()) forgetBlocks(old.chain);
  else pool_.leak(old.chain.size());
  Status s = old.draft ? old.draft->discard() : Status{};
  nodes_.erase(target);
  --storedCount_;
  n.slot = at;
  moved(it, to);
  return s;
}

Status Volume::close() {
  // New files still open are queued behind those closed.
  for (auto& [name, node] : nodes_)
    if (node.draft && !node.stored && !node.draft->broken()) enqueue(node);
  Status first = commitQueued();
  // A commit may drop a file never committed: the names are taken first.
  std::vector<std::string> drafts;
  for (const auto& [name, node] : nodes_)
    if (node.draft) drafts.push_back(name);
  for (const std::string& name : drafts)
    if (Status s = commit(name); !s.ok() && first.ok()) first = s;
  if (Status s = img_->close(); !s.ok() && first.ok()) first = s;
  return first;
}

}  // namespace korvane
