// Images laid out byte by byte from the format alone, never by the code
// under test, and the one table of damaged images that the operations, the
// checker and the image fuzz target all meet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace korvane::test {

using Bytes = std::vector<unsigned char>;

// Deterministic pseudo-random bytes.
inline Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (uint32_t x = seed * 2654435761u + 1; auto& c : b) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = uint8_t(x);
  return b;
}

// The first `count` blocks; with `every3`, those with k % 3 == 1 (true) or
// the others (false).
inline std::vector<uint32_t> blocks(uint32_t count, int every3 = -1) {
  std::vector<uint32_t> v;
  for (uint32_t k = 0; v.size() < count; ++k)
    if (every3 < 0 || (k % 3 == 1) == bool(every3)) v.push_back(k);
  return v;
}

// An empty image of n blocks: 12-byte header (blockCount, dataOffset,
// tableEnd), ceil(n / 8) bitmap bytes, 32 bytes of table and 4096 of data per
// block; then files and damage, and what a repair must leave of each file.
struct Disk {
  explicit Disk(uint32_t n) : blocks(n), bytes(block(n), 0) {
    put(0, n), put(4, static_cast<uint32_t>(slot(n))), put(8, static_cast<uint32_t>(slot(0)));
  }
  size_t slot(uint64_t j) const { return 12 + (blocks + 7) / 8 + 32 * j; }
  size_t block(uint64_t k) const { return slot(blocks) + 4096 * k; }
  void put(size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(v >> 8 * i); }
  uint32_t get(size_t at) const {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
  }
  void mark(uint32_t k) { bytes[12 + k / 8] |= static_cast<unsigned char>(1u << k % 8); }
  void unmark(uint32_t k) { bytes[12 + k / 8] &= static_cast<unsigned char>(~(1u << k % 8)); }
  void link(uint32_t k, uint32_t next) { put(block(k) + 4092, next); }
  // Appends an entry with these raw fields at tableEnd, and moves tableEnd.
  void entry(const std::string& name, uint32_t first, uint32_t size, uint32_t lastBytes) {
    size_t at = get(8);
    put(at, first), put(at + 4, size), put(at + 8, lastBytes), put(8, static_cast<uint32_t>(at + 32));
    std::fill_n(bytes.begin() + at + 12, 20, 0), std::copy(name.begin(), name.end(), bytes.begin() + at + 12);
  }
  // A sound file through `chain`: payloads, links, bits and entry.
  Bytes file(const std::string& name, const std::vector<uint32_t>& chain, const Bytes& data) {
    for (size_t i = 0; i < chain.size(); ++i) {
      size_t from = std::min(data.size(), i * 4092), n = std::min<size_t>(4092, data.size() - from);
      std::copy_n(data.begin() + from, n, bytes.begin() + block(chain[i]));
      link(chain[i], i + 1 < chain.size() ? chain[i + 1] : 0xFFFFFFFF), mark(chain[i]);
    }
    uint32_t size = static_cast<uint32_t>(data.size());
    entry(name, chain[0], size, size - 4092 * static_cast<uint32_t>(chain.size() - 1));
    keep.emplace(name, data);  // a repeated name stays with the first file
    return data;
  }
  Bytes file(const std::string& name, const std::vector<uint32_t>& chain, uint32_t size) { return file(name, chain, pattern(size, seed++)); }

  uint32_t blocks;
  Bytes bytes;
  std::map<std::string, Bytes> keep;  // name -> contents after a repair
  uint32_t seed = 1;
};

// Three files, one fragmented around the others.
inline void three(Disk& d) { d.file("empty", {0}, 0), d.file("big", {1, 2, 5}, 9000), d.file("one", {3}, 4092); }
// Four blocks: "big" 5000 bytes in 0 -> 1 (links at 4233, 8329), "g" 10 bytes
// in block 2; slots at 13, 45, 77, 109; dataOffset 141; 16525 bytes.
inline void two(Disk& d) { d.file("big", {0, 1}, 5000), d.file("g", {2}, 10); }

// A damaged image; the checker's report on an f_* one is in tests/fsck/<name>.expect.
// `ops`, `target` and `used` are for everyOperation (tests/judge.h).
struct Damaged {
  const char* name;
  uint32_t blocks;
  std::function<void(Disk&)> build;
  const char* ops = "?????";
  std::string target = "big";
  int used = -1;
};

inline const std::vector<Damaged>& damagedImages() {
  using D = Disk&;
  static const std::vector<Damaged> all = {
      // ---- the header disagrees with the file: nothing may be trusted
      {"empty file", 4, [](D d) { d.bytes.clear(); }},
      {"cut inside the data", 4, [](D d) { two(d), d.bytes.resize(141 + 4096 + 100); }},
      {"last link cut short", 4, [](D d) { two(d), d.bytes.resize(16524); }},
      {"5 blocks claimed", 4, [](D d) { two(d), d.put(0, 5), d.put(4, 13 + 5 * 32); }},
      {"tableEnd below tableStart", 4, [](D d) { two(d), d.put(8, 12); }},
      {"dataOffset absurd", 4, [](D d) { two(d), d.put(4, 0xFFFFFFF0); }},
      {"dataOffset off by one", 4, [](D d) { two(d), d.put(4, 142); }},
      {"f_header_short", 0, [](D d) { d.bytes.resize(7); }},
      {"f_header_block_count", 1, [](D d) { d.put(0, 2000000); }},
      {"f_header_geometry", 4, [](D d) { d.put(4, 99), d.bytes.resize(9000); }},
      {"f_header_table_end_outside", 4, [](D d) { d.put(8, 200); }},
      {"f_header_table_end_misaligned", 4, [](D d) { d.put(8, 20); }},
      // ---- one entry's chain is broken: only that file is refused
      {"firstBlock past the end", 4, [](D d) { two(d), d.put(13, 4); }, "KKDDD"},
      {"fileSize far past its chain", 4, [](D d) { two(d), d.put(17, 0xFFFFFFFF); }, "KKDDD"},
      {"fileSize a block past", 4, [](D d) { two(d), d.put(17, 8185); }, "KKDDD"},
      {"fileSize short of its chain", 4, [](D d) { two(d), d.put(17, 100); }, "KKDKD"},
      {"chain loops to its start", 4, [](D d) { two(d), d.put(17, 4 * 4092), d.link(1, 0); }, "KKDDD"},
      {"block links to itself", 4, [](D d) { two(d), d.link(0, 0); }, "KKDKD"},
      {"link one past the end", 4, [](D d) { two(d), d.link(0, 4); }, "KKDKD"},
      {"last block not ended", 4, [](D d) { two(d), d.link(1, 3); }, "KKDKD"},
      // ---- sound chains that disagree with each other or the bitmap. Erasing
      // "g" may free block 1 of "big": only walking every chain could tell.
      {"two entries share a block", 4, [](D d) { two(d), d.put(45, 1); }, "KKKKA", "g"},
      {"stored blocks marked free", 4, [](D d) { two(d), d.bytes[12] = 0; }, "KKKDK", "big", 0},
      {"bitmap claims a free block", 4, [](D d) { two(d), d.bytes[12] = 0x0F; }, "KKKSK", "big", 4},
      {"spare bitmap bits", 4, [](D d) { two(d), d.bytes[12] = 0xF7; }, "KKKKK", "big", 3},
      {"table full, a block free", 4, [](D d) { two(d), d.entry("h", 2, 10, 10), d.entry("i", 2, 10, 10); }, "KKKDK"},
      {"name without NUL", 4, [](D d) { two(d), std::fill_n(d.bytes.begin() + 25, 20, 'n'); }, "KKKKK", std::string(20, 'n')},
      {"2100 entries, more than a batch", 2100, [](D d) { for (uint32_t i = 0; i < 2100; ++i) d.file(std::to_string(i), {i}, 1); }},
      {"f_zero_blocks", 0, [](D) {}, "KKNSN", "big", 0},
      {"f_clean", 16, three, "KKKKK", "big", 5},
      {"f_table_full", 2, [](D d) { d.file("a", {1}, 1), d.file("b", {0}, 4092); }, "KKNSN"},
      // writeFile cut short: bits taken and data written, no entry yet.
      {"f_leaked_blocks", 16, [](D d) { three(d); for (uint32_t k : {6, 7, 9}) d.mark(k), d.bytes[d.block(k)] = 0xAB; }},
      {"f_unmarked_blocks", 16, [](D d) { three(d), d.unmark(2), d.unmark(5); }},
      {"f_spare_bits", 9, [](D d) { three(d), d.bytes[13] |= 0x42; }},
      {"f_free_not_zero", 16, [](D d) { three(d), d.bytes[d.block(8) + 100] = 1, d.link(15, 7); }},
      // eraseFile cut short while moving entries down: "mid" is half gone.
      {"f_repeated_entry", 16, [](D d) {
         three(d), d.file("mid", {6, 7}, 5000), d.file("last", {8}, 10);
         d.keep["lost.6"] = d.keep["mid"], d.keep["lost.6"].resize(8184), d.keep.erase("mid");  // saved whole
         std::copy_n(d.bytes.begin() + d.slot(4), 32, d.bytes.begin() + d.slot(3));
       }},
      // Erasing entry-15, whose slot straddles the sector boundary 17 bytes
      // in, cut as entry-16 moved into it: the erase's copies of its old and
      // new bytes lie past the table; entry-16's head landed, and with it
      // the cleared bit, in the same sector: entry-15 is gone.
      {"f_torn_entry", 24, [](D d) {
         for (uint32_t k = 0; k < 17; ++k) d.file("entry-" + std::to_string(k), {k}, 100 + k);
         std::copy_n(d.bytes.begin() + d.slot(15), 64, d.bytes.begin() + d.slot(17));
         std::copy_n(d.bytes.begin() + d.slot(16), 17, d.bytes.begin() + d.slot(15)), d.unmark(15), d.keep.erase("entry-15");
       }},
      {"f_name_repeated", 16, [](D d) {
         three(d), d.keep["big~1"] = d.file("big", {6}, 7), d.file(std::string(19, 'n'), {7}, 1);
         d.keep[std::string(17, 'n') + "~1"] = d.file(std::string(19, 'n'), {8}, 2);
       }},
      {"f_name_unterminated", 16, [](D d) {
         three(d), d.keep[std::string(19, 'x')] = d.file("n", {6}, 3), d.keep[std::string(17, 'x') + "~1"] = d.file("n", {7}, 4);
         std::fill_n(d.bytes.begin() + d.slot(3) + 12, 20, 'x'), std::fill_n(d.bytes.begin() + d.slot(4) + 12, 19, 'x');
         d.keep.erase("n");
       }},
      {"f_first_block_out_of_range", 16, [](D d) { d.file("a", {0}, 1), d.entry("lost", 16, 10, 10), d.file("b", {1}, 2); }},
      {"f_first_block_taken", 16, [](D d) { three(d), d.entry("cu\"c\nk\xFFoo", 2, 1, 1); }},
      {"f_link_out_of_range", 16, [](D d) { d.file("big", {4, 5, 6}, 9000), d.link(5, 5000), d.put(d.slot(0) + 8, 1); }},
      {"f_chain_loops", 16, [](D d) { d.file("big", {4, 5, 6}, 9000), d.link(5, 4); }},
      // Blocks 6 and 9 end chains no file holds, 9 with the bytes the size
      // leaves, 6 with fewer; the link names 6 but for one byte, which weighs more.
      {"f_link_near_one_of_two", 16, [](D d) {
         d.file("big", {4, 5, 6}, 9000), d.mark(9), d.link(5, 6 + 256);
         std::copy_n(d.bytes.begin() + d.block(6), 4096, d.bytes.begin() + d.block(9));
         std::fill_n(d.bytes.begin() + d.block(6) + 800, 16, 0), std::fill_n(d.keep["big"].begin() + 8984, 16, 0);
       }},
      {"f_chain_loops_inside", 16, [](D d) { d.file("big", {4, 5, 6}, 9000), d.file("x", {6}, 10), d.link(5, 5), d.keep["big"].resize(8184); }},
      {"f_chain_crosses", 16, [](D d) { three(d), d.file("two", {6, 7}, 5000), d.link(6, 2); }},
      {"f_chain_too_short", 16, [](D d) { d.file("big", {4, 5, 6}, 9000), d.link(5, ~0u); }},
      // The same, lastBlockBytes no size can have: the size is cut to the
      // chain, and the rest saved on its own.
      {"f_chain_too_short_size_unknown", 16, [](D d) {
         Bytes big = d.file("big", {4, 5, 6}, 9000);
         d.link(5, ~0u), d.put(d.slot(0) + 8, 5000);
         d.keep["big"].resize(8184), d.keep["lost.6"] = Bytes(big.begin() + 8184, big.end()), d.keep["lost.6"].resize(4092);
       }},
      {"f_chain_not_ended", 16, [](D d) { d.file("small", {2}, 100), d.link(2, 9), d.mark(9); }},
      {"f_last_block_bytes", 16, [](D d) { three(d), d.put(d.slot(1) + 8, 4092); }},
      // An entry whose blocks were never written: a zero link leads into
      // block 0 of another file.
      {"f_zero_link_into_block_0", 16, [](D d) {
         three(d), d.entry("new", 9, 12000, 12000 - 8184), d.mark(9), d.mark(10), d.mark(11);
         d.keep["new"] = Bytes(4092, 0);
       }},
      // ---- one bit or byte changed; every witness that disagrees is outvoted
      {"f_size_bit", 16, [](D d) { d.file("a", {1, 2, 3, 4, 5}, 20000), d.put(d.slot(0) + 4, 3616); }},
      {"f_size_past_chain", 16, [](D d) { d.file("a", {1, 2, 3}, 10000), d.put(d.slot(0) + 4, 75536); }},
      {"f_link_into_first_block", 16, [](D d) { d.file("a", {0, 1, 2}, 9000), d.file("b", {3}, 10), d.link(1, 3); }},
      {"f_first_block_of_another", 16, [](D d) { d.file("a", {0, 1}, 5000), d.file("b", {4}, 10), d.put(d.slot(1), 0); }},
      {"f_table_end_hides_files", 16, [](D d) { d.file("a", {0, 1}, 5000), d.file("b", {2}, 10), d.put(8, 14); }},
      // What a cut change leaves past the table's end, not side by side: a
      // copy under a name in use, a whole file, one whose bits were never set.
      {"f_hidden_entries_apart", 16, [](D d) {
         d.file("a", {0}, 10), d.file("a", {1}, 20), d.file("b", {2, 3}, 5000), d.file("c", {4}, 30);
         d.unmark(1), d.unmark(4), d.put(8, static_cast<uint32_t>(d.slot(1))), d.keep.erase("c");
       }},
      // Two whole entries of one name past the table: the first joins it,
      // the second's chain is saved under a name of its own.
      {"f_hidden_same_name", 4, [](D d) {
         d.file("a", {0}, 10), d.keep["x"] = d.file("x", {1}, 20), d.keep["lost.2"] = d.file("x", {2}, 30), d.put(8, 45);
         d.keep["lost.2"].resize(4092);
       }},
      {"f_header_data_offset_bit", 4, [](D d) { two(d), d.put(4, 140); }},
      // The same torn the other way one byte into a slot: the table starts
      // one byte before a 32-byte boundary, so slot 14 straddles offset 512,
      // and the block numbers need more than one byte. Only f15's tail
      // landed, the bits not yet cleared: f14 comes back from its copy.
      {"f_torn_entry_high", 408, [](D d) {
         for (uint32_t k = 0; k < 17; ++k) d.file("f" + std::to_string(k), {300 + k}, 100 + k);
         std::copy_n(d.bytes.begin() + d.slot(14), 64, d.bytes.begin() + d.slot(17));
         std::copy_n(d.bytes.begin() + d.slot(15) + 1, 31, d.bytes.begin() + d.slot(14) + 1);
       }},
      {"f_many_problems", 24, [](D d) {
         three(d), d.file("two", {6, 8}, 5000), d.entry("ghost", 30, 1, 1);
         d.keep["big~1"] = d.file("big", {10}, 10);
         d.file("tail", {11, 12, 13}, 8200), d.link(12, 3);
         d.entry("two", 6, 5000, 5000 - 4092), d.unmark(8), d.mark(20), d.bytes[d.block(21)] = 7;
       }},
  };
  return all;
}

inline Disk build(const Damaged& c) {
  Disk d(c.blocks);
  c.build(d);
  return d;
}
inline Disk build(std::string_view name) {
  for (const Damaged& c : damagedImages())
    if (c.name == name) return build(c);
  return Disk(0);
}

}  // namespace korvane::test
