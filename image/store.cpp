#include "image/store.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "image/block_pool.h"
#include "image/commit.h"
#include "image/draft.h"
#include "image/image.h"

namespace korvane {
namespace {

// Bytes read from the host per write of the draft: 1 MiB of blocks, large
// enough that system calls vanish from the cost of a copy, small enough to
// keep memory flat.
constexpr uint64_t RunBytes = uint64_t{256} * BlockPayload;

// Copies the host file into a draft: the lowest free blocks, in ascending
// order, taken as the bytes come, one run of consecutive blocks per write.
// The blocks are marked used only by the commit, once the data and the
// entry naming them are durable: a crash here leaves free blocks holding
// bytes, which a check zeroes.
class Copier {
 public:
  // `size` is the host file's length when it is a regular file that says
  // how long it is; otherwise it is read to its end (a pipe, or a file the
  // host shows as empty that still holds bytes).
  Copier(Draft& draft, File& host, std::optional<uint32_t> size, bool seekable, Progress* progress)
      : draft_(draft), host_(host), size_(size), seekable_(seekable), progress_(progress),
        buf_(size ? std::min<uint64_t>(RunBytes, std::max<uint64_t>(*size, 1)) : RunBytes) {}

  Status run();

 private:
  Status read(size_t* got, bool* end);

  Draft& draft_;
  File& host_;
  std::optional<uint32_t> size_;
  bool seekable_;
  Progress* progress_;  // may be null
  std::vector<char> buf_;  // bytes read, not yet written
  uint64_t bytes_ = 0;     // read from the host so far
};

// Reads up to a buffer of bytes; *end when the host file has no more.
Status Copier::read(size_t* got, bool* end) {
  uint64_t want = buf_.size();
  if (size_) want = std::min<uint64_t>(want, *size_ - bytes_);
  *got = 0;
  if (want > 0) {
    iovec iov{buf_.data(), static_cast<size_t>(want)};
    if (Status s = host_.readv(seekable_ ? bytes_ : AtPosition, &iov, 1, got); !s.ok())
      return s.host();
  }
  // A regular file that shrank while it was copied.
  if (size_ && *got != want) return Status::fail(Error::HostChanged);
  bytes_ += *got;
  if (bytes_ > MaxFileSize) return Status::fail(Error::FileTooLarge);
  *end = size_ ? bytes_ == *size_ : *got < want;
  return {};
}

Status Copier::run() {
  for (bool end = false; !end;) {
    size_t got = 0;
    if (Status s = read(&got, &end); !s.ok()) return s;
    if (got > 0)
      if (Status s = draft_.write(bytes_ - got, buf_.data(), got); !s.ok()) return s;
    if (progress_) progress_->advance(bytes_, size_);
  }
  // Even an empty file owns one block.
  return draft_.resize(bytes_);
}

// One pass over the table, for a store that is about to write. *exists
// tells whether an entry below tableEnd carries exactly `name`. *sound
// whether the table and the bitmap agree as far as that can tell: every
// entry's first block is a block of the image marked used, and the bitmap
// marks at least as many blocks as the entries' sizes need. A power cut
// that kept an entry or tableEnd and lost the bits that go with them is not
// sound, and a store must not take blocks then. (A chain marked only in
// part behind leaked bits passes: finding that takes a read per block, a
// check's work.) On failure: IoError.
Status checkTable(Image& img, const BlockPool& pool, std::string_view name, bool* exists,
                  bool* sound) {
  *exists = false, *sound = true;
  uint64_t needed = 0;
  if (Status s = img.forEachEntry([&](uint64_t, const FileEntry& e) {
        *exists = *exists || e.hasName(name);
        *sound = *sound && img.validBlock(e.firstBlock) && pool.used(e.firstBlock);
        needed += blocksForFile(e.fileSize);
        return true;
      });
      !s.ok())
    return s;
  *sound = *sound && needed <= img.blockCount() - uint64_t{pool.freeBlocks()};
  return {};
}

// The checks before a byte is written. A file read to its end is known to
// need one block at least, and is refused for space only when even that is
// missing; running out later rolls it back.
Status checkRoom(Image& img, const BlockPool& pool, File& host, std::string_view name,
                 std::optional<uint64_t> size) {
  if (size && *size > MaxFileSize) return Status::fail(Error::FileTooLarge);
  FileId hostId, imageId;
  if (Status s = host.identity(&hostId); !s.ok()) return s.host();
  if (Status s = img.file().identity(&imageId); !s.ok()) return s;
  if (hostId.sameAs(imageId)) return Status::fail(Error::SameFile);
  bool exists = false, sound = false;
  if (blocksForFile(size.value_or(0)) > pool.freeBlocks()) return Status::fail(Error::NoSpace);
  if (Status s = checkTable(img, pool, name, &exists, &sound); !s.ok()) return s;
  if (exists) return Status::fail(Error::Exists);
  // A free block with a full table means entries without blocks; a cut may
  // have left a listed file over blocks marked free, which the copy would
  // take.
  if (img.header().tableEnd + uint64_t{FileEntrySize} > img.header().dataOffset || !sound)
    return Status::fail(Error::Damaged);
  return {};
}

}  // namespace

Status storeFile(Env& env, std::string_view name, const char* imagePath, const char* hostPath,
                 Progress* progress) {
  std::unique_ptr<File> host;
  if (Status s = env.open(hostPath, OpenMode::Read, &host); !s.ok()) return s.host();
  FileId hostId;
  if (Status s = host->identity(&hostId); !s.ok()) return s.host();
  // Nothing but a file can be copied: a folder holds no bytes of its own.
  if (hostId.directory) return Status::fail(Error::HostOpenFailed, EISDIR);
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Write, &img); !s.ok()) return s;
  // A regular file says how long it is, unless the host shows it as empty
  // (as it does files made up as they are read); the rest are read to their end.
  std::optional<uint64_t> size;
  if (hostId.regular) {
    uint64_t bytes = 0;
    if (Status s = host->size(&bytes); !s.ok()) return s.host();
    if (bytes > 0) size = bytes;
  }
  BlockPool pool;
  if (Status s = pool.load(*img); !s.ok()) return s;
  if (Status s = checkRoom(*img, pool, *host, name, size); !s.ok()) return s;

  std::optional<uint32_t> known;
  if (size) known = static_cast<uint32_t>(*size);
  Draft draft(*img, pool);
  CommitOutcome done{Copier(draft, *host, known, hostId.regular, progress).run(), false, {}};
  if (done.ok()) {
    FileEntry entry = makeEntry(name, draft.blocks()[0], static_cast<uint32_t>(draft.bytes()));
    done = commitEdit(*img, TableEdit(*img).add(entry).mark(runsOf(draft.blocks())));
  }
  if (!done.ok()) {
    // Best effort: the blocks were never marked used, so a free block that
    // cannot be zeroed keeps part of the file, which a check zeroes.
    if (!done.mayBeOnDisk) (void)draft.discard();
    return done.status;
  }
  return img->close();
}

}  // namespace korvane
