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

namespace korvane::test {

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
