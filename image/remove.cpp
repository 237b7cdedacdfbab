#include <algorithm>
#include <memory>
#include <vector>

#include "image/chain.h"
#include "image/fs.h"
#include "image/image.h"

namespace korvane {
namespace {

// Moves the entries after `slot` down by one, lowest first, so each slot is
// read before it is overwritten. A crash midway shows one entry twice, never
// loses one.
Status closeGap(Image& img, uint64_t slot) {
  constexpr size_t Batch = 2048;
  uint64_t total = img.entryCount();
  std::vector<unsigned char> raw;
  for (uint64_t from = slot + 1; from < total; from += Batch) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(Batch, total - from));
    raw.resize(count * FileEntrySize);
    if (Status s = readExact(img.file(), img.slotOffset(from), raw.data(), raw.size()); !s.ok())
      return s;
    if (Status s = img.file().writeAt(img.slotOffset(from - 1), raw.data(), raw.size()); !s.ok())
      return s;
  }
  return {};
}

// The blocks of the chain being erased, one bit each as in the bitmap: at
// most 130 kB, whatever the chain.
class BlockSet {
 public:
  explicit BlockSet(uint32_t blockCount) : bits_(bitmapBytes(blockCount)), count_(blockCount) {}
  void add(uint32_t block) { setBit(bits_.data(), block); }
  bool has(uint32_t block) const { return block < count_ && testBit(bits_.data(), block); }

  // Zeroes and frees the blocks, a run of consecutive ones at a time.
  Status release(Image& img) const {
    for (uint32_t b = 0; b < count_;) {
      if (bits_[bitmapByteOf(b)] == 0) {
        b = (b / 8 + 1) * 8;  // a byte with no block of the chain
        continue;
      }
      uint32_t start = b;
      while (b < count_ && has(b)) ++b;
      if (b > start) {
        if (Status s = releaseRun(img, start, b - start); !s.ok()) return s;
      } else {
        ++b;
      }
    }
    return {};
  }

 private:
  std::vector<unsigned char> bits_;
  uint32_t count_;
};

// Whether another entry starts inside the chain: an entry repeated by an
// interrupted erase still points to these blocks, and freeing them would
// hand its data to the next file written.
Status sharedWithOther(Image& img, uint64_t slot, const BlockSet& chain, bool* shared) {
  *shared = false;
  return img.forEachEntry([&](uint64_t i, const FileEntry& e) {
    *shared = i != slot && chain.has(e.firstBlock);
    return !*shared;
  });
}

}  // namespace

Status removeFile(Env& env, const char* imagePath, std::string_view name) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Write, &img); !s.ok()) return s;
  uint64_t slot = 0;
  FileEntry entry;
  if (Status s = img->findEntry(name, &slot, &entry); !s.ok()) return s;
  if (slot == img->entryCount()) return Status::fail(Error::NotStored);
  // The whole chain is checked before the first write, so a damaged one
  // never frees another file's block.
  BlockSet chain(img->blockCount());
  if (Status s = img->walkChain(entry, [&](uint32_t block) {
        chain.add(block);
        return Status{};
      });
      !s.ok())
    return s;
  bool shared = false;
  if (Status s = sharedWithOther(*img, slot, chain, &shared); !s.ok()) return s;

  // The entry leaves the table, durably, before any of its blocks is freed.
  if (slot + 1 < img->entryCount()) {
    if (Status s = closeGap(*img, slot); !s.ok()) return s;
    if (Status s = img->file().sync(); !s.ok()) return s;
  }
  if (Status s = img->writeTableEnd(img->header().tableEnd - FileEntrySize); !s.ok()) return s;
  if (Status s = img->file().sync(); !s.ok()) return s;
  // From here the file is gone for good. Blocks another entry still starts
  // in stay marked used, for that entry or for a checker to settle. Freeing
  // is not synced: lost to a crash, it leaves blocks marked used or not yet
  // zeroed, which is harmless and which a checker mends.
  Status s = shared ? Status{} : chain.release(*img);
  if (s.ok()) s = img->close();
  s.committed = true;
  return s;
}

}  // namespace korvane
