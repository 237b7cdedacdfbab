// A fuzzed script of operations on a fresh image, checked against a model:
// the list of stored files in table order, each with its bytes. Every result
// is foretold by the model, and at the end the image is read independently
// of the image code: its chains, bitmap and table agree with the model, and
// no block is leaked or holds stale bytes.
//
// Input: one byte for the image size, then operations of 1 to 5 bytes:
//   op % 5 == 0  store   name, size (2 bytes), pattern
//   op % 5 == 1  fetch   name
//   op % 5 == 2  remove  name
//   op % 5 == 3  status
//   op % 5 == 4  listing
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/harness.h"

namespace korvane::fuzz {
namespace {

constexpr const char* ImagePath = "image";
constexpr const char* HostIn = "host.in";
constexpr const char* HostOut = "host.out";

// Names that differ in case, in length up to the longest allowed, and the
// empty name.
constexpr std::string_view Names[] = {"a", "b", "A", "a.txt", "", "x y", "nineteen-characters",
                                      "nineteen-character"};
static_assert(Names[6].size() == MaxNameLength);

using Bytes = std::vector<unsigned char>;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool more() const { return p_ < end_; }
  // The next byte, or 0 past the end.
  unsigned byte() { return p_ < end_ ? *p_++ : 0; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

class Script {
 public:
  explicit Script(uint32_t diskSizeKb) {
    Geometry g;
    FUZZ_CHECK(makeImage(env_, ImagePath, diskSizeKb, &g).ok());
    blockCount_ = g.blockCount;
    FUZZ_CHECK(env_.get(ImagePath)->size() == g.imageBytes);
  }

  void store(std::string_view name, size_t size, unsigned pattern);
  void fetch(std::string_view name);
  void remove(std::string_view name);
  void status();
  void listing();
  // Reads the whole image without the image code and holds it to the model.
  void audit();

 private:
  using Model = std::vector<std::pair<std::string, Bytes>>;
  Model::iterator find(std::string_view name) {
    return std::find_if(files_.begin(), files_.end(),
                        [&](const auto& f) { return f.first == name; });
  }
  uint32_t usedBlocks() const {
    uint64_t n = 0;
    for (const auto& f : files_) n += blocksForFile(f.second.size());
    return static_cast<uint32_t>(n);
  }

  MemEnv env_;
  uint32_t blockCount_ = 0;
  Model files_;
};

void Script::store(std::string_view name, size_t size, unsigned pattern) {
  Bytes content(size);
  for (size_t i = 0; i < size; ++i)
    content[i] = static_cast<unsigned char>(pattern + i * (pattern | 1));
  env_.put(HostIn, content);
  size_t length = env_.get(ImagePath)->size();
  Status s = storeFile(env_, name, ImagePath, HostIn);
  FUZZ_CHECK(env_.get(ImagePath)->size() == length);
  Error expect = blockCount_ - usedBlocks() < blocksForFile(size) ? Error::NoSpace
                 : find(name) != files_.end()                     ? Error::Exists
                                                                  : Error::Ok;
  FUZZ_CHECK(s.code == expect);
  if (s.ok()) files_.emplace_back(std::string(name), std::move(content));
}

void Script::fetch(std::string_view name) {
  Status s = fetchFile(env_, ImagePath, HostOut, name);
  const Bytes* out = env_.get(HostOut);
  auto it = find(name);
  if (it == files_.end()) {
    FUZZ_CHECK(s.code == Error::NotStored && out == nullptr);
    return;
  }
  FUZZ_CHECK(s.ok() && out != nullptr && *out == it->second);
  (void)env_.remove(HostOut);
}

void Script::remove(std::string_view name) {
  size_t length = env_.get(ImagePath)->size();
  Status s = removeAll(env_, ImagePath, name);
  FUZZ_CHECK(env_.get(ImagePath)->size() == length);
  auto it = find(name);
  FUZZ_CHECK(s.code == (it == files_.end() ? Error::NotStored : Error::Ok));
  if (it != files_.end()) files_.erase(it);
}

void Script::status() {
  StatReport r;
  FUZZ_CHECK(statImage(env_, ImagePath, &r).ok());
  FUZZ_CHECK(r.blockCount == blockCount_ && r.usedBlocks == usedBlocks());
}

void Script::listing() {
  std::vector<FileEntry> rows;
  FUZZ_CHECK(listRows(env_, ImagePath, &rows).ok());
  FUZZ_CHECK(rows.size() == files_.size());
  for (size_t i = 0; i < rows.size(); ++i)
    FUZZ_CHECK(rows[i].hasName(files_[i].first) && rows[i].fileSize == files_[i].second.size());
}

void Script::audit() {
  const Bytes& img = *env_.get(ImagePath);
  FUZZ_CHECK(img.size() == imageBytes(blockCount_));
  Header h = decodeHeader(img.data());
  uint64_t start = tableStart(blockCount_);
  FUZZ_CHECK(h.blockCount == blockCount_ && h.dataOffset == dataOffsetFor(blockCount_));
  FUZZ_CHECK(h.tableEnd == start + uint64_t{FileEntrySize} * files_.size());

  auto block = [&](uint32_t b) { return img.data() + h.dataOffset + size_t{BlockSize} * b; };
  std::vector<bool> owned(blockCount_);
  for (size_t i = 0; i < files_.size(); ++i) {
    FileEntry e = decodeEntry(img.data() + start + FileEntrySize * i);
    const Bytes& want = files_[i].second;
    FUZZ_CHECK(e.hasName(files_[i].first) && e.fileSize == want.size());
    FUZZ_CHECK(e.lastBlockBytes == lastBlockBytesFor(e.fileSize));
    // The name field holds nothing after the name.
    FUZZ_CHECK(allZero(e.name + files_[i].first.size(), NameFieldSize - files_[i].first.size()));
    uint32_t b = e.firstBlock;
    uint64_t blocks = blocksForFile(want.size());
    for (uint64_t k = 0; k < blocks; ++k) {
      FUZZ_CHECK(b < blockCount_ && !owned[b]);
      owned[b] = true;
      size_t from = k * BlockPayload;
      size_t n = std::min<size_t>(BlockPayload, want.size() - from);
      FUZZ_CHECK(std::equal(want.begin() + from, want.begin() + from + n, block(b)));
      // The tail of a last block is zero.
      FUZZ_CHECK(allZero(block(b) + n, BlockPayload - n));
      b = decodeU32(block(b) + BlockPayload);
    }
    FUZZ_CHECK(b == EndOfChain);
  }
  // Used bits are exactly the owned blocks; free blocks hold only zeros; no
  // bit past the last block is set.
  for (uint32_t b = 0; b < blockCount_; ++b) {
    FUZZ_CHECK(testBit(img.data() + HeaderSize, b) == owned[b]);
    if (!owned[b]) FUZZ_CHECK(allZero(block(b), BlockSize));
  }
  for (uint32_t b = blockCount_; b < bitmapBytes(blockCount_) * 8; ++b)
    FUZZ_CHECK(!testBit(img.data() + HeaderSize, b));
}

}  // namespace
}  // namespace korvane::fuzz

using namespace korvane;
using namespace korvane::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  // 0 to 40 kB: up to 10 blocks, so a few files fill the image.
  Script script(in.byte() % 41);
  auto name = [&] { return Names[in.byte() % std::size(Names)]; };
  while (in.more()) {
    switch (in.byte() % 5) {
      case 0: {
        std::string_view n = name();
        unsigned lo = in.byte();
        unsigned hi = in.byte();
        // Up to four blocks and a bit, so stores run out of room.
        size_t bytes = (lo | hi << 8) % (4 * BlockPayload + 2);
        script.store(n, bytes, in.byte());
        break;
      }
      case 1: script.fetch(name()); break;
      case 2: script.remove(name()); break;
      case 3: script.status(); break;
      case 4: script.listing(); break;
    }
  }
  script.audit();
  return 0;
}
