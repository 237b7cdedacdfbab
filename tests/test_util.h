// Small helpers shared by the tests: a private folder, whole-file I/O, and
// images built from literal bytes rather than by the code under test.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/remove.h"

namespace korvane::test {

// Erases `name`; a failure to free the blocks after the commit counts too.
inline Status removeAll(Env& env, const char* image, std::string_view name) {
  Status freed;
  Status s = removeFile(env, image, name, &freed);
  return s.ok() ? freed : s;
}

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("korvane-u-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void putU32(Bytes& b, size_t offset, uint32_t v) {
  b[offset] = static_cast<unsigned char>(v);
  b[offset + 1] = static_cast<unsigned char>(v >> 8);
  b[offset + 2] = static_cast<unsigned char>(v >> 16);
  b[offset + 3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t getU32(const Bytes& b, size_t offset) {
  return uint32_t{b[offset]} | uint32_t{b[offset + 1]} << 8 | uint32_t{b[offset + 2]} << 16 |
         uint32_t{b[offset + 3]} << 24;
}

// Deterministic pseudo-random bytes.
inline Bytes patternBytes(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<unsigned char>(x);
  }
  return b;
}

// An empty image of `blocks` blocks, laid out by hand: 12-byte header,
// ceil(blocks / 8) bitmap bytes, 32 bytes of table and 4096 of data per block.
inline Bytes emptyImage(uint32_t blocks) {
  size_t bitmap = (blocks + 7) / 8;
  size_t tableStart = 12 + bitmap;
  size_t dataOffset = tableStart + 32 * size_t{blocks};
  Bytes b(dataOffset + 4096 * size_t{blocks}, 0);
  putU32(b, 0, blocks);
  putU32(b, 4, static_cast<uint32_t>(dataOffset));
  putU32(b, 8, static_cast<uint32_t>(tableStart));
  return b;
}

}  // namespace korvane::test

// ---- images laid out by hand ------------------------------------------------

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string_view>

namespace korvane::test {

// Offsets in an image of `blocks` blocks: table slot `slot`, data block `k`.
inline size_t slotAt(uint32_t blocks, size_t slot) { return 12 + (blocks + 7) / 8 + 32 * slot; }
inline size_t blockAt(uint32_t blocks, uint32_t k) {
  return slotAt(blocks, blocks) + 4096 * size_t{k};
}

// One 32-byte entry at `offset`; the name field is NUL-padded to 20 bytes.
inline void putEntry(Bytes& img, size_t offset, uint32_t first, uint32_t size, uint32_t last,
                     const std::string& name) {
  putU32(img, offset, first);
  putU32(img, offset + 4, size);
  putU32(img, offset + 8, last);
  for (size_t i = 0; i < 20; ++i) img[offset + 12 + i] = i < name.size() ? name[i] : 0;
}

// Stores `data` under `name` by hand through the blocks of `chain`, in that
// order: entry at tableEnd, tableEnd + 32, bits set, payloads and links.
// The chain must have as many blocks as the size needs.
inline void addFile(Bytes& img, const std::string& name, const Bytes& data,
                    const std::vector<uint32_t>& chain) {
  uint32_t blocks = getU32(img, 0);
  uint32_t tableEnd = getU32(img, 8);
  uint32_t last = static_cast<uint32_t>(data.size() - 4092 * (chain.size() - 1));
  putEntry(img, tableEnd, chain[0], static_cast<uint32_t>(data.size()), last, name);
  putU32(img, 8, tableEnd + 32);
  for (size_t i = 0; i < chain.size(); ++i) {
    img[12 + chain[i] / 8] |= static_cast<unsigned char>(1u << (chain[i] % 8));
    size_t at = blockAt(blocks, chain[i]);
    size_t from = 4092 * i, n = std::min<size_t>(4092, data.size() - from);
    std::copy(data.begin() + from, data.begin() + from + n, img.begin() + at);
    putU32(img, at + 4092, i + 1 < chain.size() ? chain[i + 1] : 0xFFFFFFFF);
  }
}

// "" when equal, else where the two first differ.
inline std::string firstDiff(const Bytes& got, const Bytes& want) {
  size_t n = std::min(got.size(), want.size());
  for (size_t i = 0; i < n; ++i)
    if (got[i] != want[i])
      return "offset " + std::to_string(i) + ": got " + std::to_string(got[i]) + ", want " +
             std::to_string(want[i]);
  if (got.size() != want.size())
    return "size " + std::to_string(got.size()) + ", want " + std::to_string(want.size());
  return "";
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Collects what std::cout and std::cerr receive while it lives.
class CaptureOutput {
 public:
  CaptureOutput() : out_(std::cout.rdbuf(outBuf_.rdbuf())), err_(std::cerr.rdbuf(errBuf_.rdbuf())) {}
  ~CaptureOutput() {
    std::cout.rdbuf(out_);
    std::cerr.rdbuf(err_);
  }
  std::string out() const { return outBuf_.str(); }
  std::string err() const { return errBuf_.str(); }
  long errLines() const {
    std::string e = err();
    return std::count(e.begin(), e.end(), '\n');
  }

 private:
  std::ostringstream outBuf_, errBuf_;
  std::streambuf* out_;
  std::streambuf* err_;
};

}  // namespace korvane::test
