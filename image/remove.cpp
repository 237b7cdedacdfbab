#include "image/remove.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "image/chain.h"
#include "image/image.h"

namespace korvane {
namespace {

// Moves the entries after `slot` down by one, lowest first, so each slot is
// read before it is overwritten. A crash midway shows one entry twice, never
// loses one.
Status closeGap(Image& img, uint64_t slot) {
  uint64_t total = img.entryCount();
  std::vector<unsigned char> raw;
  for (uint64_t from = slot + 1; from < total; from += TableBatch) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(TableBatch, total - from));
    raw.resize(count * FileEntrySize);
    if (Status s = readExact(img.file(), img.slotOffset(from), raw.data(), raw.size()); !s.ok())
      return s;
    if (Status s = writeAt(img.file(), img.slotOffset(from - 1), raw.data(), raw.size()); !s.ok())
      return s;
  }
  return {};
}

// Runs sorted by first block, with those that touch joined: freed in as few
// calls as the blocks allow, whatever order the chain ran in.
std::vector<Run> mergeAdjacent(const std::vector<Run>& sorted) {
  std::vector<Run> out;
  for (const Run& r : sorted) {
    if (!out.empty() && out.back().first + out.back().count == r.first)
      out.back().count += r.count;
    else
      out.push_back(r);
  }
  return out;
}

// Whether another entry starts inside the chain's runs, sorted by their
// first block: an entry repeated by an interrupted erase still points to
// these blocks, and freeing them would hand its data to the next file
// written.
Status sharedWithOther(Image& img, uint64_t slot, const std::vector<Run>& runs, bool* shared) {
  *shared = false;
  return img.forEachEntry([&](uint64_t i, const FileEntry& e) {
    auto after = std::upper_bound(runs.begin(), runs.end(), e.firstBlock,
                                  [](uint32_t b, const Run& r) { return b < r.first; });
    *shared = i != slot && after != runs.begin() &&
              e.firstBlock - (after - 1)->first < (after - 1)->count;
    return !*shared;
  });
}

}  // namespace

Status unlinkEntry(Image& img, std::string_view name, std::vector<Run>* runs, bool* moved) {
  runs->clear();
  *moved = false;
  uint64_t slot = 0;
  FileEntry entry;
  if (Status s = img.findEntry(name, &slot, &entry); !s.ok()) return s;
  if (slot == img.entryCount()) return Status::fail(Error::NotStored);
  // The whole chain is checked before the first write, so a damaged one
  // never frees another file's block.
  if (Status s = walkChain(img, entry, [&](const Run& r) {
        runs->push_back(r);
        return Status{};
      });
      !s.ok())
    return s;
  std::sort(runs->begin(), runs->end(),
            [](const Run& a, const Run& b) { return a.first < b.first; });
  *runs = mergeAdjacent(*runs);
  bool shared = false;
  if (Status s = sharedWithOther(img, slot, *runs, &shared); !s.ok()) return s;
  // Blocks another entry still starts in stay marked used, for that entry
  // or for a checker to settle.
  if (shared) runs->clear();
  if (slot + 1 < img.entryCount()) {
    if (Status s = closeGap(img, slot); !s.ok()) return s;
    *moved = true;
  }
  img.lowerTableEnd(img.header().tableEnd - FileEntrySize);
  return {};
}

Status commitUnlinks(Image& img, bool moved, bool syncEnd) {
  if (moved) {
    if (Status s = img.file().sync(); !s.ok()) return s;
  }
  if (Status s = img.writeTableEnd(img.header().tableEnd); !s.ok()) return s;
  return syncEnd ? img.file().sync() : Status{};
}

Status removeEntry(Image& img, std::string_view name, Status* freed) {
  *freed = {};
  std::vector<Run> runs;
  bool moved = false;
  if (Status s = unlinkEntry(img, name, &runs, &moved); !s.ok()) return s;
  // The entry leaves the table, durably, before any of its blocks is freed.
  if (Status s = commitUnlinks(img, moved, true); !s.ok()) return s;
  // From here the file is gone for good. Freeing is not synced: lost to a
  // crash, it leaves blocks marked used or not yet zeroed, which is
  // harmless and which a checker mends.
  for (size_t i = 0; i < runs.size() && freed->ok(); ++i) *freed = releaseRun(img, runs[i]);
  return {};
}

Status removeFile(Env& env, const char* imagePath, std::string_view name, Status* freed) {
  *freed = {};
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Write, &img); !s.ok()) return s;
  if (Status s = removeEntry(*img, name, freed); !s.ok()) return s;
  if (freed->ok()) *freed = img->close();
  return {};
}

}  // namespace korvane
