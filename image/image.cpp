#include "image/image.h"

#include <algorithm>

namespace korvane {

Status Image::open(Env& env, const char* path, Access access, std::unique_ptr<Image>* out) {
  std::unique_ptr<File> f;
  OpenMode mode = access == Access::Read ? OpenMode::Read : OpenMode::ReadWrite;
  if (Status s = env.open(path, mode, &f); !s.ok()) return s;
  LockMode lock = access == Access::Read ? LockMode::Shared : LockMode::Exclusive;
  if (Status s = f->lock(lock, LockWaitMs); !s.ok()) return s;

  uint64_t length = 0;
  if (Status s = f->size(&length); !s.ok()) return s;
  if (length < HeaderSize) return Status::fail(Error::Damaged);
  unsigned char raw[HeaderSize];
  if (Status s = readExact(*f, 0, raw, HeaderSize); !s.ok())
    return s.code == Error::ShortRead ? Status::fail(Error::Damaged) : s;

  Header h = decodeHeader(raw);
  // Derived sizes are taken in 64 bits, so no field can wrap them.
  if (h.blockCount > MaxBlockCount || h.dataOffset != dataOffsetFor(h.blockCount) ||
      length < imageBytes(h.blockCount) || h.tableEnd < korvane::tableStart(h.blockCount) ||
      h.tableEnd > h.dataOffset || (h.tableEnd - korvane::tableStart(h.blockCount)) % FileEntrySize != 0)
    return Status::fail(Error::Damaged);
  out->reset(new Image(std::move(f), h));
  return {};
}

Status Image::findEntry(std::string_view name, uint64_t* slot, FileEntry* entry) {
  *slot = entryCount();
  return forEachEntry([&](uint64_t i, const FileEntry& e) {
    if (!e.hasName(name)) return true;
    *slot = i;
    *entry = e;
    return false;
  });
}

Status Image::writeTableEnd(uint32_t tableEnd) {
  unsigned char raw[4];
  encodeU32(raw, tableEnd);
  if (Status s = file_->writeAt(TableEndOffset, raw, sizeof raw); !s.ok()) return s;
  header_.tableEnd = tableEnd;
  return {};
}

Status LinkReader::read(uint32_t block, uint32_t* next) {
  if (canMap_ && (block < first_ || block - first_ >= count_)) {
    uint32_t count = std::min(WindowBlocks, img_.blockCount() - block);
    view_.reset();
    count_ = 0;
    if (img_.file().map(img_.blockOffset(block), size_t{count} * BlockSize, false, &view_).ok()) {
      first_ = block;
      count_ = count;
    } else {
      canMap_ = false;
    }
  }
  if (canMap_) {
    *next = decodeU32(view_->data() + size_t{block - first_} * BlockSize + BlockPayload);
    return {};
  }
  unsigned char raw[LinkSize];
  if (Status s = readExact(img_.file(), img_.blockOffset(block) + BlockPayload, raw, LinkSize);
      !s.ok())
    return s;
  *next = decodeU32(raw);
  return {};
}

Status ChainReader::start(const FileEntry& entry) {
  guess_ = 1;
  cur_ = entry.firstBlock;
  return chainLength(img_, entry, &remaining_);
}

Status ChainReader::load(uint32_t count) {
  size_t bytes = size_t{count} * BlockSize;
  view_.reset();
  if (canMap_ && img_.file().map(img_.blockOffset(cur_), bytes, true, &view_).ok()) {
    blocks_ = view_->data();
    return {};
  }
  canMap_ = false;
  if (buf_.size() < bytes) buf_.resize(bytes);
  blocks_ = buf_.data();
  return readExact(img_.file(), img_.blockOffset(cur_), buf_.data(), bytes);
}

Status ChainReader::next(uint32_t* count) {
  *count = 0;
  if (remaining_ == 0) return {};
  uint32_t want = std::min({guess_, Capacity, remaining_, img_.blockCount() - cur_});
  if (Status s = load(want); !s.ok()) return s;
  uint32_t i = 0;
  for (;;) {
    uint32_t link = decodeU32(blocks_ + size_t{i} * BlockSize + BlockPayload);
    --remaining_;
    ++i;
    if ((remaining_ == 0) != (link == EndOfChain)) return Status::fail(Error::Damaged);
    if (remaining_ == 0) break;
    if (!img_.validBlock(link)) return Status::fail(Error::Damaged);
    if (i == want || link != cur_ + i) {
      // The guess grows while the chain keeps running on past the buffer.
      bool contiguous = link == cur_ + i;
      guess_ = contiguous ? std::min(guess_ * 2, Capacity) : std::max(1u, i);
      cur_ = link;
      break;
    }
  }
  *count = i;
  return {};
}

}  // namespace korvane
