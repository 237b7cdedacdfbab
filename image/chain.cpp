#include "image/chain.h"

#include <sys/uio.h>

#include <algorithm>


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

Status zeroRun(Image& img, const Run& run) {
  return img.file().zeroRange(img.blockOffset(run.first), uint64_t{run.count} * BlockSize);
}

namespace {
// Blocks in one write: iovecs for a payload and a link each, within IOV_MAX.
constexpr uint64_t WriteBlocks = 256;
}  // namespace

Status writeChainBlocks(Image& img, const std::vector<uint32_t>& chain, uint64_t first,
                        const std::vector<const unsigned char*>& payloads, uint32_t skip,
                        uint32_t keep) {
  std::vector<unsigned char> links(payloads.size() * LinkSize);
  std::vector<iovec> iov;
  iov.reserve(2 * payloads.size());
  for (uint64_t i = 0; i < payloads.size(); ++i) {
    uint64_t k = first + i;
    unsigned char* link = links.data() + i * LinkSize;
    encodeU32(link, k + 1 < chain.size() ? chain[k + 1] : EndOfChain);
    size_t from = i == 0 ? skip : 0, to = i + 1 == payloads.size() ? keep : BlockPayload;
    iov.push_back({const_cast<unsigned char*>(payloads[i]), to - from});
    iov.push_back({link, to == BlockPayload ? LinkSize : 0});
  }
  return forEachRun(chain, first, payloads.size(), [&](uint64_t i, uint64_t n) {
    for (uint64_t k = i; k < i + n; k += WriteBlocks) {
      uint64_t m = std::min(WriteBlocks, i + n - k);
      if (Status s = img.file().writev(img.blockOffset(chain[k]) + (k == first ? skip : 0),
                                       &iov[2 * (k - first)], static_cast<int>(2 * m));
          !s.ok())
        return s;
    }
    return Status{};
  });
}

Status linkBlock(Image& img, uint32_t block, uint32_t next) {
  unsigned char link[LinkSize];
  encodeU32(link, next);
  return writeAt(img.file(), img.blockOffset(block) + BlockPayload, link, LinkSize);
}

Status endChainAt(Image& img, uint32_t block, uint32_t kept) {
  if (Status s = linkBlock(img, block, EndOfChain); !s.ok()) return s;
  return img.file().zeroRange(img.blockOffset(block) + kept, BlockPayload - kept);
}

}  // namespace korvane
