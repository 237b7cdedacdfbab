#include "image/chain.h"

#include "image/primitives.h"

namespace korvane {
Status releaseRun(Image& img, uint32_t start, uint32_t len) {
  if (Status s = img.file().zeroRange(img.blockOffset(start), uint64_t{len} * BlockSize); !s.ok())
    return s;
  return markBlocks(img, start, len, false);
}

Status releaseChain(Image& img, uint32_t first, uint32_t count) {
  if (count == 0) return {};
  if (!img.validBlock(first)) return Status::fail(Error::Damaged);
  uint32_t runStart = first;
  uint32_t runLen = 0;
  uint32_t block = first;
  LinkReader links(img);
  for (uint32_t i = 1;; ++i) {
    ++runLen;
    if (i == count) return releaseRun(img, runStart, runLen);
    uint32_t next = 0;
    if (Status s = links.read(block, &next); !s.ok()) return s;
    if (!img.validBlock(next)) {
      // Free what was walked; the rest stays marked used, which is harmless.
      (void)releaseRun(img, runStart, runLen);
      return Status::fail(Error::Damaged);
    }
    if (next != block + 1) {
      if (Status s = releaseRun(img, runStart, runLen); !s.ok()) return s;
      runStart = next;
      runLen = 0;
    }
    block = next;
  }
}

}  // namespace korvane
