// An opened disk image whose header has been checked against the file, and
// the walks over its bitmap, table and chains. Nothing here prints.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "image/env.h"
#include "image/layout.h"

namespace korvane {

// How long a run waits for another run's lock before giving up.
inline constexpr int LockWaitMs = 30000;

enum class Access { Read, Write };

class Image {
 public:
  // Opens `path` (read only, or read-write without creating it), takes a
  // shared or an exclusive lock, and checks the header against the file's
  // length. On failure: OpenFailed, Locked, IoError, or Damaged when the file
  // cannot be an image (too short, absurd blockCount, dataOffset or tableEnd).
  static Status open(Env& env, const char* path, Access access, std::unique_ptr<Image>* out);

  File& file() { return *file_; }
  const Header& header() const { return header_; }
  uint32_t blockCount() const { return header_.blockCount; }
  uint64_t tableStart() const { return korvane::tableStart(header_.blockCount); }
  uint64_t entryCount() const { return (header_.tableEnd - tableStart()) / FileEntrySize; }
  uint64_t slotOffset(uint64_t slot) const { return tableStart() + slot * FileEntrySize; }
  uint64_t blockOffset(uint32_t block) const {
    return header_.dataOffset + uint64_t{BlockSize} * block;
  }
  bool validBlock(uint32_t block) const { return block < header_.blockCount; }

  // Calls visit(slot, entry) for each used slot in order, reading the table
  // in batches, until visit returns false.
  template <class Visit>
  Status forEachEntry(Visit&& visit);
  // Finds the first used slot whose name is `name`. *slot is entryCount()
  // when no entry carries it.
  Status findEntry(std::string_view name, uint64_t* slot, FileEntry* entry);
  // Writes tableEnd, the only header field that ever changes.
  Status writeTableEnd(uint32_t tableEnd);

  // Calls visit(block) for each block of the entry's chain, in chain order,
  // after checking that the chain has exactly the blocks its fileSize needs,
  // each below blockCount. Damaged otherwise; reads only the links.
  template <class Visit>
  Status walkChain(const FileEntry& entry, Visit&& visit);

  // Closes, reporting a failure the host tells only now.
  Status close() { return file_->close(); }

 private:
  Image(std::unique_ptr<File> f, Header h) : file_(std::move(f)), header_(h) {}

  std::unique_ptr<File> file_;
  Header header_;
};

// Reads blocks' links. Chains run mostly upward, so it maps a window of
// blocks at a time where the host allows, instead of a read per link.
class LinkReader {
 public:
  explicit LinkReader(Image& img) : img_(img) {}
  // The nextBlock field of `block`, which must be below blockCount.
  Status read(uint32_t block, uint32_t* next);

 private:
  static constexpr uint32_t WindowBlocks = 1024;  // 4 MiB
  Image& img_;
  std::unique_ptr<View> view_;
  uint32_t first_ = 0, count_ = 0;
  bool canMap_ = true;
};

// Number of blocks a file needs, or Damaged when the chain cannot fit.
inline Status chainLength(const Image& img, const FileEntry& e, uint32_t* n) {
  uint64_t blocks = blocksForFile(e.fileSize);
  if (blocks > img.blockCount() || !img.validBlock(e.firstBlock))
    return Status::fail(Error::Damaged);
  *n = static_cast<uint32_t>(blocks);
  return {};
}

template <class Visit>
Status Image::forEachEntry(Visit&& visit) {
  constexpr uint64_t Batch = 2048;  // 64 KiB of table per read
  uint64_t total = entryCount();
  std::vector<unsigned char> raw(static_cast<size_t>(std::min(Batch, total)) * FileEntrySize);
  for (uint64_t first = 0; first < total; first += Batch) {
    size_t count = static_cast<size_t>(std::min(Batch, total - first));
    if (Status s = readExact(*file_, slotOffset(first), raw.data(), count * FileEntrySize);
        !s.ok())
      return s;
    for (size_t i = 0; i < count; ++i)
      if (!visit(first + i, decodeEntry(raw.data() + i * FileEntrySize))) return {};
  }
  return {};
}

template <class Visit>
Status Image::walkChain(const FileEntry& entry, Visit&& visit) {
  uint32_t n = 0;
  if (Status s = chainLength(*this, entry, &n); !s.ok()) return s;
  uint32_t block = entry.firstBlock;
  LinkReader links(*this);
  // n hops at most: a loop never reaches EndOfChain within them.
  for (uint32_t i = 1;; ++i) {
    uint32_t next = 0;
    if (Status s = links.read(block, &next); !s.ok()) return s;
    bool last = (i == n);
    if (last != (next == EndOfChain) || (!last && !validBlock(next)))
      return Status::fail(Error::Damaged);
    if (Status s = visit(block); !s.ok()) return s;
    if (last) return {};
    block = next;
  }
}

// Reads a chain in runs of consecutive blocks, whole blocks at a time, for
// copying a file out: mapped where the host allows, else read into a
// buffer. The run length it guesses grows while the chain stays contiguous,
// so a fragmented chain costs no more than twice its own bytes.
class ChainReader {
 public:
  static constexpr uint32_t Capacity = 256;  // blocks per run: 1 MiB

  explicit ChainReader(Image& img) : img_(img) {}

  // Starts the walk of `entry`'s chain; Damaged when it cannot fit the image.
  Status start(const FileEntry& entry);
  // Reads the next run: *count blocks at blocks(), 0 after the last one.
  // Damaged when a link leaves the image or the chain's length disagrees
  // with the file's size.
  Status next(uint32_t* count);
  const unsigned char* blocks() const { return blocks_; }
  // Whether the run just read holds the file's last block.
  bool done() const { return remaining_ == 0; }

 private:
  Status load(uint32_t count);

  Image& img_;
  std::unique_ptr<View> view_;
  std::vector<unsigned char> buf_;  // used only where mapping fails
  const unsigned char* blocks_ = nullptr;
  bool canMap_ = true;
  uint32_t guess_ = 1;
  uint32_t cur_ = 0;
  uint32_t remaining_ = 0;
};

}  // namespace korvane
