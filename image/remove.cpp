#include "image/remove.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "image/chain.h"
#include "image/image.h"
#include "image/commit.h"

namespace korvane {
namespace {

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

// The runs of blocks an erase of the entry in `slot` may free: its chain,
// sorted and joined; none when another entry starts within them.
Status erasableRuns(Image& img, uint64_t slot, const FileEntry& entry, std::vector<Run>* runs) {
  runs->clear();
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
  if (shared) runs->clear();
  return {};
}

Status removeEntry(Image& img, std::string_view name, Status* freed) {
  *freed = {};
  uint64_t slot = 0;
  FileEntry entry;
  if (Status s = img.findEntry(name, &slot, &entry); !s.ok()) return s;
  if (slot == img.entryCount()) return Status::fail(Error::NotStored);
  std::vector<Run> runs;
  if (Status s = erasableRuns(img, slot, entry, &runs); !s.ok()) return s;
  CommitOutcome done = commitEdit(img, TableEdit(img).remove(slot).free(runs));
  *freed = done.cleanup;
  return done.status;
}

}  // namespace

Status removeFile(Env& env, const char* imagePath, std::string_view name, Status* freed) {
  *freed = {};
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Write, &img); !s.ok()) return s;
  if (Status s = removeEntry(*img, name, freed); !s.ok()) return s;
  if (freed->ok()) *freed = img->close();
  return {};
}

}  // namespace korvane
