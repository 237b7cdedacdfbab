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

// The runs of consecutive blocks a chain is made of, as long as they are few
// enough to keep; a chain with more is walked again to be released.
struct Runs {
  static constexpr size_t Max = 1 << 16;  // 512 kB
  std::vector<std::pair<uint32_t, uint32_t>> list;
  bool overflow = false;

  void add(uint32_t block) {
    if (!list.empty() && list.back().first + list.back().second == block)
      ++list.back().second;
    else if (list.size() < Max)
      list.emplace_back(block, 1);
    else
      overflow = true;
  }
};

// Whether another entry starts inside the chain: an entry repeated by an
// interrupted erase still points to these blocks, and freeing them would
// hand its data to the next file written.
Status sharedWithOther(Image& img, uint64_t slot, const Runs& runs, bool* shared) {
  *shared = false;
  if (runs.overflow) return {};  // too many runs to keep: not checked
  auto sorted = runs.list;
  std::sort(sorted.begin(), sorted.end());
  constexpr size_t Batch = 2048;
  std::vector<FileEntry> batch;
  uint64_t total = img.entryCount();
  for (uint64_t first = 0; first < total && !*shared; first += Batch) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(Batch, total - first));
    if (Status s = img.readEntries(first, count, &batch); !s.ok()) return s;
    for (size_t i = 0; i < count && !*shared; ++i) {
      if (first + i == slot) continue;
      uint32_t b = batch[i].firstBlock;
      auto it = std::upper_bound(sorted.begin(), sorted.end(), std::make_pair(b, EndOfChain));
      *shared = it != sorted.begin() && b - std::prev(it)->first < std::prev(it)->second;
    }
  }
  return {};
}

Status releaseAll(Image& img, const FileEntry& entry, uint32_t blocks, const Runs& runs) {
  if (runs.overflow) return releaseChain(img, entry.firstBlock, blocks);
  for (auto [start, len] : runs.list)
    if (Status s = releaseRun(img, start, len); !s.ok()) return s;
  return {};
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
  uint32_t blocks = 0;
  Runs runs;
  if (Status s = img->walkChain(entry, [&](uint32_t block) {
        ++blocks;
        runs.add(block);
        return Status{};
      });
      !s.ok())
    return s;

  bool shared = false;
  if (Status s = sharedWithOther(*img, slot, runs, &shared); !s.ok()) return s;

  // The entry leaves the table, durably, before any of its blocks is freed.
  if (Status s = closeGap(*img, slot); !s.ok()) return s;
  if (Status s = img->file().sync(); !s.ok()) return s;
  if (Status s = img->writeTableEnd(img->header().tableEnd - FileEntrySize); !s.ok()) return s;
  if (Status s = img->file().sync(); !s.ok()) return s;
  // Blocks another entry still starts in stay marked used, for that entry
  // or for a checker to settle.
  if (!shared) {
    if (Status s = releaseAll(*img, entry, blocks, runs); !s.ok()) return s;
  }
  if (Status s = img->file().sync(); !s.ok()) return s;
  return img->close();
}

}  // namespace korvane
