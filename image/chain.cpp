#include "image/chain.h"

#include "image/primitives.h"

namespace korvane {

Status ChainWalker::start(const FileEntry& entry) {
  uint64_t blocks = blocksForFile(entry.fileSize);
  if (blocks > img_.blockCount() || !img_.validBlock(entry.firstBlock))
    return Status::fail(Error::Damaged);
  block_ = entry.firstBlock;
  left_ = static_cast<uint32_t>(blocks);
  return {};
}

Status ChainWalker::next(Run* run, uint32_t maxRun) {
  *run = {block_, 0};
  // left_ hops at most: a loop never reaches EndOfChain within them.
  while (left_ > 0 && run->count < maxRun) {
    unsigned char raw[LinkSize];
    if (Status s = readExact(img_.file(), img_.blockOffset(block_) + BlockPayload, raw, LinkSize);
        !s.ok())
      return s;
    uint32_t link = decodeU32(raw);
    ++run->count;
    --left_;
    if ((left_ == 0) != (link == EndOfChain)) return Status::fail(Error::Damaged);
    if (left_ == 0) return {};
    if (!img_.validBlock(link)) return Status::fail(Error::Damaged);
    block_ = link;
    if (link != run->first + run->count) return {};
  }
  return {};
}

Status releaseRun(Image& img, const Run& run) {
  if (Status s = img.file().zeroRange(img.blockOffset(run.first), uint64_t{run.count} * BlockSize);
      !s.ok())
    return s;
  return markBlocks(img, run.first, run.count, false);
}

}  // namespace korvane
