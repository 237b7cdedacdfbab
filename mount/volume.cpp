#include "mount/volume.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <utility>

#include "image/chain.h"
#include "image/primitives.h"
#include "image/recovery.h"
#include "image/remove.h"

namespace korvane {
namespace {

// Blocks moved per write or read: 1 MiB, as korvane -w moves them.
constexpr uint64_t RunBlocks = 256;

// A name a path can spell as one file in one folder.
bool showable(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos;
}

// A draft that a write left part done may link past its size or hold
// stale bytes: it is marked, and never committed.
template <class Node>
Status broke(Node& n, Status s) {
  n.broken = true;
  return s;
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
  std::vector<unsigned char> bitmap(static_cast<size_t>(bitmapBytes(img->blockCount())));
  if (Status s = readExact(img->file(), HeaderSize, bitmap.data(), bitmap.size()); !s.ok())
    return s;
  std::unique_ptr<Volume> v(new Volume(std::move(img), std::move(bitmap)));
  v->readOnly_ = access == Access::Read;
  for (size_t i = 0; i < v->bitmap_.size(); ++i)
    v->freeBlocks_ += static_cast<uint32_t>(
        std::popcount(~v->bitmap_[i] & blockBitsOf(i, v->img_->blockCount())));
  // Bits past the last block mark nothing: set, the bitmap is damaged.
  if (!v->bitmap_.empty() &&
      (v->bitmap_.back() & ~blockBitsOf(v->bitmap_.size() - 1, v->img_->blockCount())))
    return Status::fail(Error::Damaged);
  std::vector<unsigned char> owned(v->bitmap_.size());
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
    n.bytes = n.storedBytes = e.fileSize;
    walk = walkChain(*img_, e, [&](const Run& r) {
      for (uint32_t b = r.first; b < r.first + r.count; ++b) {
        if (testBit(owned->data(), b) || !testBit(bitmap_.data(), b))
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

// A whole entry past tableEnd, its name unused and every block of its
// chain marked used and owned by no file, is a file a check takes back: a
// commit cut short before tableEnd moved, an entry whose move a cut tore
// (its copy), or one a damaged tableEnd hides. New files would take its
// slot. Such entries lie in the slots right after the table, before the
// first empty one; what erases leave there fails the test, as their
// blocks are free or their names in use.
Status Volume::refuseHiddenEntry(const std::vector<unsigned char>& owned) {
  uint64_t budget = 2 * uint64_t{img_->blockCount()};
  auto link = [this](uint32_t b, uint32_t* next) {
    unsigned char raw[4];
    Status s = readExact(img_->file(), img_->blockOffset(b) + BlockPayload, raw, sizeof raw);
    *next = decodeU32(raw);
    return s;
  };
  auto claimable = [&](uint32_t b) { return testBit(bitmap_.data(), b) && !testBit(owned.data(), b); };
  std::vector<unsigned char> batch;
  for (uint64_t slot = img_->entryCount(), end = slot; slot < img_->blockCount(); ++slot) {
    if (slot == end) {  // the table is read a batch of slots at a time
      end = std::min<uint64_t>(slot + TableBatch, img_->blockCount());
      batch.resize((end - slot) * FileEntrySize);
      if (Status s = readExact(img_->file(), img_->slotOffset(slot), batch.data(), batch.size());
          !s.ok())
        return s;
    }
    const unsigned char* raw = batch.data() + (batch.size() - (end - slot) * FileEntrySize);
    if (std::all_of(raw, raw + FileEntrySize, [](unsigned char c) { return c == 0; })) return {};
    FileEntry e = decodeEntry(raw);
    bool whole = false;
    if (Status s = hiddenFile(img_->blockCount(), e, nodes_.count(e.nameView()) > 0, link,
                              claimable, &budget, &whole);
        !s.ok())
      return s;
    if (whole) return Status::fail(Error::Damaged);
  }
  return {};
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
  return {img_->blockCount(), static_cast<uint32_t>(freeBlocks_ + doomed_.size()), nodes_.size()};
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
  *bytes = it->second.bytes;
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

// Takes the lowest free blocks, marking them used in memory only: the
// image marks them when the entry naming them is committed, so a crash
// before leaves free blocks holding bytes, which a check zeroes.
Status Volume::take(uint64_t count, std::vector<uint32_t>* blocks) {
  if (count == 0) return {};
  // Blocks korvane -e would have freed by now are free before any is taken.
  if (Status s = commitErases(); !s.ok()) return s;
  if (count > freeBlocks_) return Status::fail(Error::NoSpace);
  uint32_t total = img_->blockCount();
  uint32_t b = lowestFree_;
  while (count > 0 && b < total) {
    if (bitmap_[bitmapByteOf(b)] == 0xFF) {
      b = (b / 8 + 1) * 8;  // a full byte: skip its eight blocks at once
      continue;
    }
    if (testBit(bitmap_.data(), b)) {
      ++b;
      continue;
    }
    uint32_t first = b;
    while (b < total && b - first < count && !testBit(bitmap_.data(), b)) ++b;
    for (uint32_t k = first; k < b; ++k) {
      setBit(bitmap_.data(), k);
      blocks->push_back(k);
    }
    freeBlocks_ -= b - first;
    count -= b - first;
    lowestFree_ = b;
  }
  return count == 0 ? Status{} : Status::fail(Error::Damaged);
}

void Volume::forgetBlocks(const std::vector<uint32_t>& blocks) {
  for (uint32_t b : blocks) {
    clearBit(bitmap_.data(), b);
    lowestFree_ = std::min(lowestFree_, b);
  }
  freeBlocks_ += static_cast<uint32_t>(blocks.size());
}

// Zeroes and frees a draft's blocks, which the image never marked used.
// Blocks that fail to be zeroed are not taken again, counted as leaked: a
// check zeroes them. The first failure is told.
Status Volume::release(std::vector<uint32_t> blocks) {
  Status first;
  for (const Run& r : runsOf(blocks)) {
    std::vector<uint32_t> run(r.count);
    for (uint32_t k = 0; k < r.count; ++k) run[k] = r.first + k;
    if (Status s = zeroRun(*img_, r); !s.ok()) {
      leaked_ += r.count;
      if (first.ok()) first = s;
    } else {
      forgetBlocks(run);
    }
  }
  return first;
}

// Writes blocks [first, first + count) of `chain` from `buf`, whose
// payloads lie a block apart, each linking to the next block of the chain
// or ending it.
Status Volume::writeBlocks(const std::vector<uint32_t>& chain, uint64_t first, uint64_t count,
                           const unsigned char* buf) {
  std::vector<const unsigned char*> payloads;
  for (uint64_t i = 0; i < count; ++i) payloads.push_back(buf + i * BlockSize);
  return writeChainBlocks(*img_, chain, first, payloads);
}

Status Volume::readBlocks(const std::vector<uint32_t>& chain, uint64_t first, uint64_t count,
                          unsigned char* buf) {
  return forEachRun(chain, first, count, [&](uint64_t i, uint64_t n) {
    return readExact(img_->file(), img_->blockOffset(chain[i]), buf + (i - first) * BlockSize,
                     n * BlockSize);
  });
}

// Gives the file a draft holding its first `keep` bytes, copied into blocks
// of its own; the bytes after `keep` in its last block are zero, so growing
// the draft later shows zeros there. A draft that fails is released.
Status Volume::makeDraft(Node& n, uint64_t keep) {
  if (n.dirty) return {};
  uint64_t blocks = blocksForFile(keep);
  std::vector<uint32_t> draft;
  Status s = take(blocks, &draft);
  std::vector<unsigned char> buf(static_cast<size_t>(std::min(blocks, RunBlocks)) * BlockSize);
  for (uint64_t i = 0; s.ok() && i < blocks; i += RunBlocks) {
    uint64_t count = std::min(RunBlocks, blocks - i);
    std::fill(buf.begin(), buf.end(), 0);
    if (keep > 0) s = readBlocks(n.chain, i, count, buf.data());
    if (s.ok() && i + count == blocks) {
      uint64_t tail = keep - (blocks - 1) * BlockPayload;
      std::fill(buf.begin() + (count - 1) * BlockSize + tail,
                buf.begin() + (count - 1) * BlockSize + BlockPayload, 0);
    }
    if (s.ok()) s = writeBlocks(draft, i, count, buf.data());
  }
  if (!s.ok()) {
    (void)release(std::move(draft));
    return s;
  }
  n.draft = std::move(draft);
  n.dirty = true;
  n.bytes = keep;
  return {};
}

namespace {

// The payload block `k` of the draft gets from a write of `len` bytes of
// `data` at `offset`, the draft having `old` blocks before it: the caller's
// bytes themselves where they cover it or it is an old block (written in
// part, from where they start), zeros for a new block they miss, else a
// block of *edges holding zeros with the new bytes laid on them.
const unsigned char* payloadOf(uint64_t k, uint64_t old, uint64_t offset, const char* data,
                               size_t len, std::vector<std::vector<unsigned char>>* edges) {
  static const unsigned char zeros[BlockPayload] = {};
  uint64_t from = k * BlockPayload, to = from + BlockPayload;
  uint64_t a = std::max(from, offset), b = std::min(to, offset + len);
  auto bytes = reinterpret_cast<const unsigned char*>(data);
  if ((a == from && b == to) || (k < old && a < b)) return bytes + (a - offset);
  if (a >= b) return zeros;
  std::vector<unsigned char>& edge = edges->emplace_back(BlockPayload);
  std::memcpy(edge.data() + (a - from), data + (a - offset), b - a);
  return edge.data();
}

}  // namespace

// Grows the draft to `end` bytes and lays `len` bytes of `data` at
// `offset`, a run of whole blocks per write, straight from `data`. New
// blocks are zero where nothing lands; of an old block only the bytes that
// land are written, so no block is read. Only the blocks the bytes land in,
// and those the draft grows by, are written: a write that grows the draft
// reaches its new last block, so a write costs its own bytes, wherever in
// the file it lands.
Status Volume::put(Node& n, uint64_t offset, const char* data, size_t len, uint64_t end) {
  uint64_t old = n.draft.size(), need = std::max<uint64_t>(old, blocksForFile(end));
  if (Status s = take(need - old, &n.draft); !s.ok()) {
    std::vector<uint32_t> taken(n.draft.begin() + old, n.draft.end());
    n.draft.resize(old);
    (void)release(std::move(taken));
    return s;
  }
  uint64_t lo = len ? std::min(offset / BlockPayload, old) : old;
  uint64_t hi = len ? (offset + len - 1) / BlockPayload + 1 : need;
  // An old block at either end is written from where the bytes start, or
  // to where they stop; a new one whole. A write that ends in an old block
  // does not grow the draft, so that block's link stays.
  auto skip = static_cast<uint32_t>(lo < old && len ? offset - lo * BlockPayload : 0);
  auto keep = static_cast<uint32_t>(hi - 1 < old && len ? offset + len - (hi - 1) * BlockPayload
                                                        : BlockPayload);
  for (uint64_t i = lo; i < hi; i += RunBlocks) {
    uint64_t count = std::min(RunBlocks, hi - i);
    std::vector<const unsigned char*> payloads;
    std::vector<std::vector<unsigned char>> edges;  // new blocks written in part
    for (uint64_t k = i; k < i + count; ++k)
      payloads.push_back(payloadOf(k, old, offset, data, len, &edges));
    if (Status s = writeChainBlocks(*img_, n.draft, i, payloads, i == lo ? skip : 0,
                                    i + count == hi ? keep : BlockPayload);
        !s.ok())
      return broke(n, s);
  }
  // The old last block, not rewritten, links on to the blocks taken.
  if (need > old && old > 0 && lo > old - 1)
    if (Status s = linkBlock(*img_, n.draft[old - 1], n.draft[old]); !s.ok()) return broke(n, s);
  n.bytes = std::max(n.bytes, end);
  return {};
}

// Cuts the draft to `bytes`: the blocks past it are freed, the new last
// block ends the chain and holds zeros after the bytes it keeps.
Status Volume::cut(Node& n, uint64_t bytes) {
  uint64_t keep = blocksForFile(bytes);
  std::vector<uint32_t> tail(n.draft.begin() + keep, n.draft.end());
  n.draft.resize(keep);
  n.bytes = bytes;
  // Blocks that fail to be freed stay used, counted as leaked: the draft
  // itself is whole without them.
  Status freed = release(std::move(tail));
  auto kept = static_cast<uint32_t>(bytes - (keep - 1) * BlockPayload);
  if (Status s = endChainAt(*img_, n.draft.back(), kept); !s.ok()) return broke(n, s);
  return freed;
}

Status Volume::create(std::string_view name, const Attributes* shown) {
  if (Status s = writable(); !s.ok()) return s;
  if (name.size() > MaxNameLength) return Status::fail(Error::NameTooLong);
  if (nodes_.count(name)) return Status::fail(Error::Exists);
  Node n;
  if (Status s = take(1, &n.draft); !s.ok()) return s;
  std::vector<unsigned char> block(BlockSize);
  if (Status s = writeBlocks(n.draft, 0, 1, block.data()); !s.ok()) {
    (void)release(std::move(n.draft));
    return s;
  }
  n.dirty = true;
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
  Node& n = it->second;
  const std::vector<uint32_t>& chain = n.dirty ? n.draft : n.chain;
  if (offset >= n.bytes) return {};
  uint64_t end = offset + std::min<uint64_t>(len, n.bytes - offset);
  uint64_t first = offset / BlockPayload, last = (end - 1) / BlockPayload;
  // Links go to a scratch word: one read per run of consecutive blocks.
  unsigned char link[LinkSize];
  Status s = forEachRun(chain, first, last - first + 1, [&](uint64_t i, uint64_t count) {
    for (uint64_t k = i; k < i + count; k += RunBlocks) {
      iovec iov[2 * RunBlocks];
      int parts = 0;
      uint64_t stop = std::min(i + count, k + RunBlocks);
      uint64_t at = std::max(offset, k * BlockPayload);
      uint64_t from = img_->blockOffset(chain[k]) + (at - k * BlockPayload);
      size_t want = 0;
      for (uint64_t b = k; b < stop; ++b) {
        uint64_t a = std::max(offset, b * BlockPayload), z = std::min(end, (b + 1) * BlockPayload);
        iov[parts++] = {buf + (a - offset), static_cast<size_t>(z - a)};
        want += z - a;
        if (b + 1 < stop) {
          iov[parts++] = {link, LinkSize};
          want += LinkSize;
        }
      }
      size_t done = 0;
      if (Status s = img_->file().readv(from, iov, parts, &done); !s.ok()) return s;
      if (done != want) return Status::fail(Error::ShortRead);
    }
    return Status{};
  });
  if (s.ok()) *got = static_cast<size_t>(end - offset);
  return s;
}

// Whether the file can be `end` bytes long: checked before its draft is
// made, so a change refused for space leaves no draft behind.
Status Volume::room(const Node& n, uint64_t end) const {
  if (end > MaxFileSize) return Status::fail(Error::FileTooLarge);
  uint64_t have = n.dirty ? n.draft.size() : 0;
  uint64_t need = blocksForFile(end);
  uint64_t free = freeBlocks_ + doomed_.size();
  return need > have && need - have > free ? Status::fail(Error::NoSpace) : Status{};
}

Status Volume::fits(std::string_view name, uint64_t offset, size_t* len) {
  if (Status s = writable(); !s.ok()) return s;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  const Node& n = it->second;
  if (*len == 0 || room(n, std::max<uint64_t>(n.bytes, offset + *len)).ok()) return {};
  // The draft may grow to every block it has and every free one: a stored
  // file's draft is a copy, so it has none yet.
  uint64_t blocks = (n.dirty ? n.draft.size() : 0) + freeBlocks_ + doomed_.size();
  uint64_t end = std::min(blocks * BlockPayload, MaxFileSize);
  if (end <= offset || end < n.bytes)
    return room(n, std::max<uint64_t>(n.bytes, offset + *len));
  *len = static_cast<size_t>(std::min<uint64_t>(*len, end - offset));
  return {};
}

Status Volume::write(std::string_view name, uint64_t offset, const char* data, size_t len) {
  size_t fit = len;
  if (Status s = fits(name, offset, &fit); !s.ok() || len == 0) return s;
  Node& n = nodes_.find(name)->second;
  if (fit < len) return room(n, offset + len);
  if (Status s = makeDraft(n, n.bytes); !s.ok()) return s;
  if (Status s = put(n, offset, data, len, std::max<uint64_t>(n.bytes, offset + len)); !s.ok())
    return s;
  written(n);
  return {};
}

Status Volume::resize(std::string_view name, uint64_t bytes) {
  if (Status s = writable(); !s.ok()) return s;
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  Status s = bytes == n.bytes ? Status{} : room(n, bytes);
  // A stored file cut short copies only what it keeps: its draft is then
  // `bytes` long already.
  if (s.ok() && bytes != n.bytes) s = makeDraft(n, std::min(n.bytes, bytes));
  if (s.ok() && bytes < n.bytes) s = cut(n, bytes);
  if (s.ok() && bytes > n.bytes) s = put(n, bytes, nullptr, 0, bytes);
  // A truncate marks the file modified even when its size stays; one
  // refused leaves it as it was.
  if (n.bytes == bytes) written(n);
  return s;
}

Status Volume::commit(std::string_view name) {
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  if (!n.dirty) return {};
  if (n.broken) return dropDraft(it);
  if (n.stored) return commitStored(name, n);
  enqueue(n);
  return commitQueued();
}

Status Volume::commitLater(std::string_view name, bool keepUnwritten) {
  Nodes::iterator it;
  if (Status s = find(name, &it); !s.ok()) return s;
  Node& n = it->second;
  if (n.stored || n.broken) return commit(name);
  if (!n.dirty || (keepUnwritten && n.bytes == 0)) return {};
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
    leaked_ += doomed_.size();
    doomed_.clear();
    return done.status;
  }
  erased_.clear();
  // Blocks not zeroed are free in the image but hold old bytes: never
  // taken again, for a check to zero.
  if (done.cleanup.ok()) forgetBlocks(doomed_);
  else leaked_ += doomed_.size();
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
  (void)release(std::move(n.draft));
  n.draft.clear();
  n.dirty = n.broken = false;
  n.bytes = n.storedBytes;
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
    if (it->second.queue && it->second.broken) first = dropDraft(it);
    else if (it->second.queue) group.push_back(it);
    it = next;
  }
  std::sort(group.begin(), group.end(),
            [](auto a, auto b) { return a->second.queue < b->second.queue; });
  std::vector<FileEntry> entries;
  for (auto it : group)
    entries.push_back(makeEntry(it->first, it->second.draft[0],
                                static_cast<uint32_t>(it->second.bytes)));
  std::vector<uint32_t> blocks;
  for (auto it : group) blocks.insert(blocks.end(), it->second.draft.begin(), it->second.draft.end());
  TableEdit added(*img_);
  for (const FileEntry& e : entries) added.add(e);
  CommitOutcome done = entries.empty() ? CommitOutcome{} : commitEdit(*img_, added.mark(runsOf(blocks)));
  // A commit that may not have reached the disk is taken back when it can
  // be; when it cannot, the image holds it, and so does the volume.
  for (auto it : done.mayBeOnDisk ? group : std::vector<Nodes::iterator>{}) {
    Node& n = it->second;
    n.stored = true;
    n.slot = storedCount_++;
    n.storedBytes = n.bytes;
    n.chain = std::move(n.draft);
    n.draft.clear();
    n.dirty = false;
    n.queue = 0;
    --queued_;
  }
  return first.ok() ? done.status : first;
}

// One write of the entry, in place, swaps the stored chain for the draft's;
// the old chain is freed only once that write is on the disk.
Status Volume::commitStored(std::string_view name, Node& n) {
  if (Status s = commitErases(); !s.ok()) return s;
  FileEntry entry = makeEntry(name, n.draft[0], static_cast<uint32_t>(n.bytes));
  CommitOutcome done = commitEdit(
      *img_, TableEdit(*img_).rewrite(n.slot, entry).mark(runsOf(n.draft)).freeAfter(runsOf(n.chain)));
  if (!done.mayBeOnDisk) return done.status;
  std::vector<uint32_t> old = std::move(n.chain);
  n.chain = std::move(n.draft);
  n.draft.clear();
  n.dirty = false;
  n.storedBytes = n.bytes;
  // Unsure whether the new entry is durable, or the old chain freed, the
  // volume keeps the old blocks, unowned.
  if (!done.ok() || !done.cleanup.ok()) leaked_ += old.size();
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
  Status s = n.dirty ? release(std::move(n.draft)) : Status{};
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
  else leaked_ += old.chain.size();
  Status s = old.dirty ? release(std::move(old.draft)) : Status{};
  nodes_.erase(target);
  --storedCount_;
  n.slot = at;
  moved(it, to);
  return s;
}

Status Volume::close() {
  // New files still open are queued behind those closed.
  for (auto& [name, node] : nodes_)
    if (node.dirty && !node.stored && !node.broken) enqueue(node);
  Status first = commitQueued();
  // A commit may drop a file never committed: the names are taken first.
  std::vector<std::string> drafts;
  for (const auto& [name, node] : nodes_)
    if (node.dirty) drafts.push_back(name);
  for (const std::string& name : drafts)
    if (Status s = commit(name); !s.ok() && first.ok()) first = s;
  if (Status s = img_->close(); !s.ok() && first.ok()) first = s;
  return first;
}

}  // namespace korvane
