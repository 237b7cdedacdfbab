#include <algorithm>
#include <bit>
#include <memory>

#include "image/fs.h"
#include "image/image.h"

namespace korvane {

Status statImage(Env& env, const char* path, StatReport* out) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, path, Access::Read, &img); !s.ok()) return s;
  uint32_t blocks = img->blockCount();
  out->blockCount = blocks;
  out->bitmap.assign(static_cast<size_t>(bitmapBytes(blocks)), 0);
  if (Status s = readExact(img->file(), HeaderSize, out->bitmap.data(), out->bitmap.size());
      !s.ok())
    return s;
  uint32_t used = 0;
  for (size_t i = 0; i < out->bitmap.size(); ++i) {
    unsigned valid = static_cast<unsigned>(std::min<uint64_t>(8, blocks - uint64_t{i} * 8));
    used += static_cast<uint32_t>(std::popcount(out->bitmap[i] & ((1u << valid) - 1) & 0xFFu));
  }
  out->usedBlocks = used;
  return img->close();
}

Status listImage(Env& env, const char* path, const std::function<void()>& start,
                 const std::function<void(const FileEntry&)>& row) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, path, Access::Read, &img); !s.ok()) return s;
  start();
  constexpr size_t Batch = 2048;
  std::vector<FileEntry> batch;
  uint64_t total = img->entryCount();
  for (uint64_t first = 0; first < total; first += Batch) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(Batch, total - first));
    if (Status s = img->readEntries(first, count, &batch); !s.ok()) return s;
    for (const FileEntry& e : batch) row(e);
  }
  return img->close();
}

}  // namespace korvane
