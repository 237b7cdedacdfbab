#include "image/store.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "image/chain.h"
#include "image/image.h"
#include "image/primitives.h"

namespace korvane {
namespace {

// Blocks moved per write: 1 MiB, large enough that system calls vanish
// from the cost of a copy, small enough to keep memory flat.
constexpr uint32_t RunBlocks = 256;

// Copies the host file into the n lowest free blocks, in ascending order,
// one run of consecutive blocks per write. Each run's bits are set before
// its data is written; nothing points to the blocks until the entry is
// committed, so a crash here only leaks them.
class Copier {
 public:
  Copier(Image& img, File& host, uint32_t size)
      : img_(img), host_(host), size_(size), left_(static_cast<uint32_t>(blocksForFile(size))),
        untaken_(left_), cursor_(img), buf_(size_t{std::min(RunBlocks, left_)} * BlockSize) {}

  Status run(uint32_t* firstBlock);
  // Releases every block taken so far, after a failure.
  void rollBack();

 private:
  Status allocate(Run* run);
  Status copyRun(const Run& run, uint32_t next);

  Image& img_;
  File& host_;
  uint32_t size_;
  uint32_t left_;     // blocks not yet written
  uint32_t untaken_;  // blocks not yet allocated
  FreeBlockCursor cursor_;
  std::vector<unsigned char> buf_;
  std::vector<Run> taken_;
  size_t written_ = 0;  // runs of taken_ whose data is in place
  uint64_t hostOffset_ = 0;
};

// Takes the next run for the blocks not yet taken.
Status Copier::allocate(Run* run) {
  Status s = allocateRun(img_, cursor_, std::min(RunBlocks, untaken_), run);
  if (run->count > 0) taken_.push_back(*run);  // even when marking it failed half way
  if (!s.ok()) return s;
  // hasFreeBlocks counted enough under our exclusive lock.
  if (run->count == 0) return Status::fail(Error::Damaged);
  untaken_ -= run->count;
  return {};
}

Status Copier::copyRun(const Run& run, uint32_t next) {
  iovec iov[RunBlocks];
  size_t want = 0;
  for (uint32_t i = 0; i < run.count; ++i) {
    unsigned char* block = buf_.data() + size_t{i} * BlockSize;
    bool last = (left_ - i == 1);
    size_t bytes = last ? lastBlockBytesFor(size_) : BlockPayload;
    iov[i] = {block, bytes};
    want += bytes;
    // The tail of a last block is zero, never an earlier file's bytes.
    std::fill(block + bytes, block + BlockPayload, 0);
    encodeU32(block + BlockPayload,
              last ? EndOfChain : (i + 1 < run.count ? run.first + i + 1 : next));
  }
  if (want > 0) {
    size_t got = 0;
    if (Status s = host_.readv(hostOffset_, iov, static_cast<int>(run.count), &got); !s.ok())
      return s.host();
    // The host file shrank while it was copied.
    if (got != want) return Status::fail(Error::HostChanged);
  }
  hostOffset_ += want;
  return writeAt(img_.file(), img_.blockOffset(run.first), buf_.data(),
                 size_t{run.count} * BlockSize);
}

Status Copier::run(uint32_t* firstBlock) {
  // Each run is taken before the one before it is written, whose last
  // block links to it.
  Run cur;
  if (Status s = allocate(&cur); !s.ok()) return s;
  *firstBlock = cur.first;
  while (cur.count > 0) {
    Run next;
    if (left_ > cur.count)
      if (Status s = allocate(&next); !s.ok()) return s;
    if (Status s = copyRun(cur, next.first); !s.ok()) return s;
    ++written_;
    left_ -= cur.count;
    cur = next;
  }
  return {};
}

void Copier::rollBack() {
  // Best effort: whatever cannot be released stays marked used, which is
  // harmless since no entry points to it. A run whose write failed may
  // hold part of it; its bits are cleared even when zeroing fails too (a
  // full disk refuses both), leaving at worst a free block not zero.
  for (size_t i = 0; i < taken_.size(); ++i) {
    const Run& r = taken_[i];
    if (i < written_) {
      (void)releaseRun(img_, r);
    } else {
      (void)img_.file().zeroRange(img_.blockOffset(r.first), uint64_t{r.count} * BlockSize);
      (void)markBlocks(img_, r.first, r.count, false);
    }
  }
}

Status checkRoom(Image& img, File& host, std::string_view name, uint64_t hostSize) {
  if (hostSize > MaxFileSize) return Status::fail(Error::FileTooLarge);
  FileId hostId, imageId;
  if (Status s = host.identity(&hostId); !s.ok()) return s.host();
  if (Status s = img.file().identity(&imageId); !s.ok()) return s;
  if (hostId.sameAs(imageId)) return Status::fail(Error::SameFile);
  bool enough = false, exists = false;
  if (Status s = hasFreeBlocks(img, blocksForFile(hostSize), &enough); !s.ok()) return s;
  if (!enough) return Status::fail(Error::NoSpace);
  if (Status s = fileExists(img, name, &exists); !s.ok()) return s;
  if (exists) return Status::fail(Error::Exists);
  // A free block with a full table means entries without blocks.
  if (img.header().tableEnd + uint64_t{FileEntrySize} > img.header().dataOffset)
    return Status::fail(Error::Damaged);
  return {};
}

// Makes the copied file visible. The entry goes into the slot at tableEnd,
// where nothing reads it yet, and is synced with the data; only then does
// tableEnd move over it, as the commit. *visible tells whether the entry may
// be seen, so the caller must not free its blocks.
Status commit(Image& img, std::string_view name, uint32_t first, uint32_t size, bool* visible) {
  *visible = false;
  unsigned char raw[FileEntrySize];
  encodeEntry(raw, makeEntry(name, first, size));
  uint32_t oldEnd = img.header().tableEnd;
  if (Status s = writeAt(img.file(), oldEnd, raw, sizeof raw); !s.ok()) return s;
  if (Status s = img.file().sync(); !s.ok()) return s;
  if (Status s = img.writeTableEnd(oldEnd + FileEntrySize); !s.ok()) return s;
  *visible = true;
  Status s = img.file().sync();
  // The commit may not have reached the disk: take it back, and only then
  // may the blocks be released.
  if (!s.ok() && img.writeTableEnd(oldEnd).ok() && img.file().sync().ok()) *visible = false;
  return s;
}

}  // namespace

Status storeFile(Env& env, std::string_view name, const char* imagePath, const char* hostPath) {
  std::unique_ptr<File> host;
  if (Status s = env.open(hostPath, OpenMode::Read, &host); !s.ok()) return s.host();
  FileId hostId;
  if (Status s = host->identity(&hostId); !s.ok()) return s.host();
  // Only a regular file has a size to measure before it is copied.
  if (!hostId.regular) return Status::fail(Error::HostOpenFailed, EINVAL);
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Write, &img); !s.ok()) return s;
  uint64_t hostSize = 0;
  if (Status s = host->size(&hostSize); !s.ok()) return s.host();
  if (Status s = checkRoom(*img, *host, name, hostSize); !s.ok()) return s;

  uint32_t size = static_cast<uint32_t>(hostSize);
  Copier copier(*img, *host, size);
  uint32_t first = 0;
  bool visible = false;
  Status s = copier.run(&first);
  if (s.ok()) s = commit(*img, name, first, size, &visible);
  if (!s.ok()) {
    if (!visible) copier.rollBack();
    return s;
  }
  return img->close();
}

}  // namespace korvane
