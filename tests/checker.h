// An image checker for the tests, written from the format alone: it parses
// raw bytes and shares no code with image/, so a fault in the image code
// cannot hide itself by being repeated here.
//
// It returns the files it finds and what is wrong. Two states that a crash
// may leave and that a repair can mend without loss are kept apart as
// remnants: a block marked used that no file owns (leaked), and a table
// entry that is an exact copy of an earlier one (left by moving the table
// down). Everything else is a problem.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace korvane::test {

struct CheckReport {
  bool isImage = false;  // the header agrees with the file's length
  std::map<std::string, std::vector<unsigned char>> files;
  std::vector<std::string> problems;
  std::vector<std::string> remnants;
  uint32_t leaked = 0;

  std::string describe() const {
    std::string s = isImage ? "" : "not an image; ";
    for (const auto& p : problems) s += p + "; ";
    for (const auto& p : remnants) s += "(" + p + ") ";
    return s + std::to_string(files.size()) + " files";
  }
};

inline CheckReport checkImage(const std::vector<unsigned char>& img) {
  CheckReport r;
  auto u32 = [&](uint64_t at) {
    return uint32_t{img[at]} | uint32_t{img[at + 1]} << 8 | uint32_t{img[at + 2]} << 16 |
           uint32_t{img[at + 3]} << 24;
  };
  auto fail = [&](std::string what) { r.problems.push_back(std::move(what)); };
  if (img.size() < 12) {
    fail("shorter than a header");
    return r;
  }
  const uint64_t blocks = u32(0), dataOffset = u32(4), tableEnd = u32(8);
  const uint64_t bitmap = 12, tableStart = 12 + (blocks + 7) / 8;
  if (dataOffset != tableStart + 32 * blocks || img.size() != dataOffset + 4096 * blocks) {
    fail("header disagrees with the file's length");
    return r;
  }
  r.isImage = true;
  if (tableEnd < tableStart || tableEnd > dataOffset || (tableEnd - tableStart) % 32 != 0) {
    fail("tableEnd " + std::to_string(tableEnd) + " off the table");
    return r;
  }
  auto used = [&](uint64_t k) { return (img[bitmap + k / 8] >> (k % 8)) & 1; };
  auto block = [&](uint64_t k) { return dataOffset + 4096 * k; };

  std::vector<long> owner(blocks, -1);
  for (uint64_t at = tableStart; at < tableEnd; at += 32) {
    const long slot = static_cast<long>((at - tableStart) / 32);
    const unsigned char* raw = img.data() + at;
    bool copy = false;
    for (uint64_t prev = tableStart; prev < at && !copy; prev += 32) {
      if (std::memcmp(img.data() + prev, raw, 32) == 0) {
        r.remnants.push_back("slot " + std::to_string(slot) + " repeats slot " +
                             std::to_string((prev - tableStart) / 32));
        copy = true;
      }
    }
    if (copy) continue;
    const void* nul = std::memchr(raw + 12, 0, 20);
    if (!nul) {
      fail("slot " + std::to_string(slot) + ": name without NUL");
      continue;
    }
    std::string name(reinterpret_cast<const char*>(raw + 12),
                     static_cast<const unsigned char*>(nul) - (raw + 12));
    const std::string who = "file '" + name + "'";
    if (r.files.count(name)) {
      fail(who + " stored twice");
      continue;
    }
    const uint64_t size = u32(at + 4), last = u32(at + 8);
    const uint64_t n = size == 0 ? 1 : (size + 4091) / 4092;
    const uint64_t tail = size - 4092 * (n - 1);
    if (last != tail) fail(who + ": lastBlockBytes disagrees with fileSize");
    if (n > blocks) {
      fail(who + ": longer than the image");
      continue;
    }
    std::vector<unsigned char> data;
    uint64_t k = u32(at);
    bool sound = true;
    for (uint64_t i = 0; i < n && sound; ++i) {
      if (k >= blocks) {
        fail(who + ": link " + std::to_string(k) + " out of range");
        sound = false;
        break;
      }
      if (owner[k] >= 0) fail(who + ": block " + std::to_string(k) + " owned twice");
      if (!used(k)) fail(who + ": block " + std::to_string(k) + " marked free");
      owner[k] = slot;
      const uint64_t next = u32(block(k) + 4092);
      const bool lastBlock = (i + 1 == n);
      if (lastBlock != (next == 0xFFFFFFFF)) {
        fail(who + ": chain length disagrees with fileSize");
        sound = false;
      }
      const auto* p = img.data() + block(k);
      data.insert(data.end(), p, p + (lastBlock ? tail : 4092));
      k = next;
    }
    if (sound) r.files[name] = std::move(data);
  }

  for (uint64_t k = 0; k < blocks; ++k) {
    if (owner[k] >= 0) continue;
    if (used(k)) {
      ++r.leaked;
      continue;
    }
    const auto* p = img.data() + block(k);
    for (uint64_t i = 0; i < 4096; ++i) {
      if (p[i] != 0) {
        fail("free block " + std::to_string(k) + " holds data");
        break;
      }
    }
  }
  if (r.leaked > 0) r.remnants.push_back(std::to_string(r.leaked) + " leaked blocks");
  for (uint64_t k = blocks; k < (blocks + 7) / 8 * 8; ++k)
    if (used(k)) fail("bitmap bit " + std::to_string(k) + " set past the last block");
  return r;
}

}  // namespace korvane::test
