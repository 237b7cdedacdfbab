#include "image/store.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "image/chain.h"
#include "image/image.h"
#include "image/primitives.h"
#include "image/commit.h"

namespace korvane {
namespace {

// Blocks moved per write: 1 MiB, large enough that system calls vanish
// from the cost of a copy, small enough to keep memory flat.
constexpr uint32_t RunBlocks = 256;

// Copies the host file into the lowest free blocks, in ascending order,
// taking blocks as the bytes come, one run of consecutive blocks per write.
// The blocks are marked used only by the commit, once the data and the
// entry naming them are durable: a crash here leaves free blocks holding
// bytes, which a check zeroes.
// Each run is written ending the chain; the next run's first block, once
// taken, is linked to it.
class Copier {
 public:
  // `size` is the host file's length when it is a regular file that says
  // how long it is; otherwise it is read to its end (a pipe, or a file the
  // host shows as empty that still holds bytes).
  Copier(Image& img, File& host, std::optional<uint32_t> size, bool seekable, Progress* progress)
      : img_(img), host_(host), size_(size), seekable_(seekable), progress_(progress), cursor_(img),
        buf_(size_t{size ? std::min<uint64_t>(RunBlocks, blocksForFile(*size)) : RunBlocks} *
             BlockSize) {}

  // On success *first and *size describe the chain written.
  Status run(uint32_t* first, uint32_t* size);
  // Zeroes every block taken so far, after a failure.
  void rollBack();
  // The blocks taken, to be marked used when the file is committed.
  const std::vector<Run>& taken() const { return taken_; }

 private:
  Status read(uint32_t* blocks, bool* end);
  Status place(uint32_t blocks);

  Image& img_;
  File& host_;
  std::optional<uint32_t> size_;
  bool seekable_;
  Progress* progress_;  // may be null
  FreeBlockCursor cursor_;
  std::vector<unsigned char> buf_;  // blocks read, not yet written, a block's room apart
  uint32_t last_ = EndOfChain;      // the last block written
  uint32_t first_ = EndOfChain;
  uint64_t bytes_ = 0;  // read from the host so far
  std::vector<Run> taken_;
};

// Reads up to RunBlocks blocks' payload into buf_; *end when the host file
// has no more. The tail of a last block is zero, never an earlier file's.
Status Copier::read(uint32_t* blocks, bool* end) {
  uint64_t want = buf_.size() / BlockSize * BlockPayload;
  if (size_) want = std::min<uint64_t>(want, *size_ - bytes_);
  iovec iov[RunBlocks];
  size_t got = 0;
  int count = static_cast<int>(blocksForFile(want));
  for (int i = 0; i < count; ++i) iov[i] = {buf_.data() + size_t(i) * BlockSize, BlockPayload};
  if (want > 0) {
    iov[count - 1].iov_len = want - uint64_t{BlockPayload} * (count - 1);
    uint64_t at = seekable_ ? bytes_ : AtPosition;
    if (Status s = host_.readv(at, iov, count, &got); !s.ok()) return s.host();
  }
  // A regular file that shrank while it was copied.
  if (size_ && got != want) return Status::fail(Error::HostChanged);
  bytes_ += got;
  if (bytes_ > MaxFileSize) return Status::fail(Error::FileTooLarge);
  *end = size_ ? bytes_ == *size_ : got < want;
  *blocks = static_cast<uint32_t>((got + BlockPayload - 1) / BlockPayload);
  if (*blocks > 0) {
    size_t tail = got - size_t{BlockPayload} * (*blocks - 1);
    unsigned char* last = buf_.data() + size_t{*blocks - 1} * BlockSize;
    std::fill(last + tail, last + BlockPayload, 0);
  }
  return {};
}

// Takes blocks for the `blocks` read into buf_ and writes them, run by run.
Status Copier::place(uint32_t blocks) {
  for (uint32_t done = 0; done < blocks;) {
    Run run;
    if (Status s = cursor_.nextRun(blocks - done, &run); !s.ok()) return s;
    if (run.count > 0) taken_.push_back(run);
    // A file of known size was counted in full under our exclusive lock.
    if (run.count == 0) return Status::fail(size_ ? Error::Damaged : Error::NoSpace);
    if (first_ == EndOfChain) first_ = run.first;
    if (last_ != EndOfChain)
      if (Status s = linkBlock(img_, last_, run.first); !s.ok()) return s;
    std::vector<uint32_t> chain(run.count);
    std::vector<const unsigned char*> payloads(run.count);
    for (uint32_t i = 0; i < run.count; ++i) {
      chain[i] = run.first + i;
      payloads[i] = buf_.data() + size_t{done + i} * BlockSize;
    }
    if (Status s = writeChainBlocks(img_, chain, 0, payloads); !s.ok()) return s;
    last_ = run.first + run.count - 1;
    done += run.count;
  }
  return {};
}

Status Copier::run(uint32_t* first, uint32_t* size) {
  for (bool end = false; !end;) {
    uint32_t blocks = 0;
    if (Status s = read(&blocks, &end); !s.ok()) return s;
    // Even an empty file owns one block.
    if (first_ == EndOfChain && blocks == 0) {
      std::fill_n(buf_.begin(), BlockSize, 0);
      blocks = 1;
    }
    if (Status s = place(blocks); !s.ok()) return s;
    if (progress_) progress_->advance(bytes_, size_);
  }
  *first = first_;
  *size = static_cast<uint32_t>(bytes_);
  return {};
}

void Copier::rollBack() {
  // Best effort: the blocks were never marked used, so a free block that
  // cannot be zeroed keeps part of the file, which a check zeroes.
  for (const Run& r : taken_) (void)zeroRun(img_, r);
}

// The checks before a byte is written. A file read to its end is known to
// need one block at least, and is refused for space only when even that is
// missing; running out later rolls it back.
Status checkRoom(Image& img, File& host, std::string_view name, std::optional<uint64_t> size) {
  if (size && *size > MaxFileSize) return Status::fail(Error::FileTooLarge);
  FileId hostId, imageId;
  if (Status s = host.identity(&hostId); !s.ok()) return s.host();
  if (Status s = img.file().identity(&imageId); !s.ok()) return s;
  if (hostId.sameAs(imageId)) return Status::fail(Error::SameFile);
  bool enough = false, exists = false, sound = false;
  if (Status s = hasFreeBlocks(img, blocksForFile(size.value_or(0)), &enough); !s.ok()) return s;
  if (!enough) return Status::fail(Error::NoSpace);
  if (Status s = checkTable(img, name, &exists, &sound); !s.ok()) return s;
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
  if (Status s = checkRoom(*img, *host, name, size); !s.ok()) return s;

  std::optional<uint32_t> known;
  if (size) known = static_cast<uint32_t>(*size);
  Copier copier(*img, *host, known, hostId.regular, progress);
  uint32_t first = 0, stored = 0;
  CommitOutcome done{copier.run(&first, &stored), false, {}};
  if (done.ok())
    done = commitEdit(*img, TableEdit(*img).add(makeEntry(name, first, stored)).mark(copier.taken()));
  if (!done.ok()) {
    if (!done.mayBeOnDisk) copier.rollBack();
    return done.status;
  }
  return img->close();
}

}  // namespace korvane
