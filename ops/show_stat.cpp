#include <iostream>
#include <string>

#include "image/report.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {
namespace {

// The map line: one character per block, in block order.
void printMap(const StatReport& r) {
  std::string chunk;
  chunk.reserve(64 * 1024);
  for (uint32_t k = 0; k < r.blockCount; ++k) {
    chunk.push_back(testBit(r.bitmap.data(), k) ? '*' : '_');
    if (chunk.size() == chunk.capacity()) {
      std::cout.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
    }
  }
  std::cout.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  std::cout << std::endl;
}

// The report, or the line that says why there is none.
Status printStat(const char* imageName, Env& env) {
  StatReport r;
  Status s = statImage(env, imageName, &r);
  if (!s.ok()) {
    reportImageFailure(s, "read", imageName, "Cannot open virual disk image!");
    return s;
  }

  // Sizes are u32 products, as the figures have always been computed.
  uint32_t blocks = r.blockCount, used = r.usedBlocks;
  uint32_t usedBytes = BlockPayload * used;
  double use = blocks == 0 ? 0.0 : usedBytes / (blocks * double{BlockPayload}) * 100.0;
  std::cout << "DISK STATUS" << std::endl;
  std::cout << "DISK IMAGE: " << imageName << std::endl;
  std::cout << "MEMORY BLOCKS: " << blocks << std::endl;
  // The real size leaves the bitmap out, as this report always has.
  std::cout << "MAX DATA SIZE: " << BlockSize / 1024 * blocks << " kB" << std::endl;
  std::cout << "REAL DISK SIZE: "
            << fixed((HeaderSize + (BlockSize + FileEntrySize) * blocks) / 1024.0, 2) << " kB"
            << std::endl;
  std::cout << "MEMORY MAP: " << std::endl;
  printMap(r);
  std::cout << "MEMORY STATUS" << std::endl;
  std::cout << "FREE DATA BLOCKS: " << blocks - used << std::endl;
  std::cout << "DATA BLOCKS IN USE: " << used << std::endl;
  std::cout << "FREE DATA SPACE: " << fixed((BlockPayload * blocks - usedBytes) / 1024.0, 2)
            << " kB" << std::endl;
  std::cout << "USED DATA SPACE: " << fixed(usedBytes / 1024.0, 2) << " kB" << std::endl;
  std::cout << "MEMORY USE: " << fixed(use, 1) << "%" << std::endl;
  return {};
}

}  // namespace

void showStat(const char* imageName, Env& env) { (void)printStat(imageName, env); }

void showStatus(const char* imageName, Env& env) {
  // An image another run holds would be waited for a second time, only to
  // say again that it is in use.
  if (printStat(imageName, env).code == Error::Locked) return;
  showFiles(imageName, env);
}

}  // namespace korvane
