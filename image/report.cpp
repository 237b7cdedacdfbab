#include <algorithm>
#include <bit>
#include <memory>

#include "image/report.h"
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
    used += static_cast<uint32_t>(std::popcount(out->bitmap[i] & blockBitsOf(i, blocks)));
  }
  out->usedBlocks = used;
  return img->close();
}

Status listImage(Env& env, const char* path, const std::function<void()>& start,
                 const std::function<void(const FileEntry&)>& row, int waitMs) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, path, Access::Read, &img, waitMs); !s.ok()) return s;
  start();
  if (Status s = img->forEachEntry([&](uint64_t, const FileEntry& e) {
        row(e);
        return true;
      });
      !s.ok())
    return s;
  return img->close();
}

}  // namespace korvane
