// An opened disk image whose header has been checked against the file, and
// the walk over its table. Nothing here prints.
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

// Opens an image file, refusing what is not a regular file, and takes the
// lock, waiting at most `waitMs`. On failure: OpenFailed, Locked or IoError.
Status openImageFile(Env& env, const char* path, OpenMode mode, LockMode lock, int waitMs,
                     std::unique_ptr<File>* f);

// Reads the header of an open image file and the file's length, for
// judgeHeader. A file shorter than the header gives a zero header.
Status readHeader(File& f, Header* h, uint64_t* length);

class Image {
 public:
  // Opens `path` (read only, or read-write without creating it), takes a
  // shared or an exclusive lock, and checks the header against the file's
  // length. On failure: OpenFailed (also for what is not a regular file),
  // Locked (after `waitMs`), IoError, or Damaged when the header breaks a rule.
  static Status open(Env& env, const char* path, Access access, std::unique_ptr<Image>* out,
                     int waitMs = LockWaitMs);
  // The image in a file already opened and locked, as a checker holds one
  // once it has mended the header: the header is read afresh and must keep
  // every rule. On success the image owns the file; on failure `f` keeps
  // it. On failure: IoError, or Damaged when the header breaks a rule.
  static Status adopt(std::unique_ptr<File>& f, std::unique_ptr<Image>* out);

  File& file() { return *file_; }
  const Header& header() const { return header_; }
  uint32_t blockCount() const { return header_.blockCount; }
  uint64_t tableStart() const { return korvane::tableStart(header_.blockCount); }
  uint64_t entryCount() const { return (header_.tableEnd - tableStart()) / FileEntrySize; }
  uint64_t slotOffset(uint64_t slot) const {
    return korvane::slotOffset(header_.blockCount, slot);
  }
  uint64_t blockOffset(uint32_t block) const {
    return korvane::blockOffset(header_.dataOffset, block);
  }
  bool validBlock(uint32_t block) const { return block < header_.blockCount; }

  // Calls visit(slot, entry) for each used slot in order, reading the table
  // in batches, until visit returns false.
  template <class Visit>
  Status forEachEntry(Visit&& visit);
  // Finds the first used slot whose name is `name`. *slot is entryCount()
  // when no entry carries it.
  Status findEntry(std::string_view name, uint64_t* slot, FileEntry* entry);
  // Closes, reporting a failure the host tells only now.
  Status close() { return file_->close(); }

 private:
  // Only a commit moves tableEnd, the only header field that ever changes.
  friend class TableCommit;
  Status writeTableEnd(uint32_t tableEnd);

  Image(std::unique_ptr<File> f, Header h) : file_(std::move(f)), header_(h) {}

  std::unique_ptr<File> file_;
  Header header_;
};

template <class Visit>
Status Image::forEachEntry(Visit&& visit) {
  uint64_t total = entryCount();
  std::vector<unsigned char> raw(static_cast<size_t>(std::min<uint64_t>(TableBatch, total)) *
                                 FileEntrySize);
  for (uint64_t first = 0; first < total; first += TableBatch) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(TableBatch, total - first));
    if (Status s = readExact(*file_, slotOffset(first), raw.data(), count * FileEntrySize);
        !s.ok())
      return s;
    for (size_t i = 0; i < count; ++i)
      if (!visit(first + i, decodeEntry(raw.data() + i * FileEntrySize))) return {};
  }
  return {};
}

}  // namespace korvane
