// The bytes each operation leaves, against images laid out by hand: a fresh
// image, first-fit allocation, chains across runs and gaps, the zeroed tail
// of a last block, the table closing up after an erase, and refusals that
// change nothing. Every file the expected image holds then reads back.
#include <gtest/gtest.h>

#include <functional>

#include "image/create.h"
#include "image/store.h"
#include "tests/images.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

std::string firstDiff(const Bytes& got, const Bytes& want) {
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i] != want[i])
      return "offset " + std::to_string(i) + ": " + std::to_string(got[i]) + ", want " +
             std::to_string(want[i]);
  return got.size() == want.size() ? "" : "size " + std::to_string(got.size());
}

using Op = std::function<Status(MemEnv&)>;
Op store(const std::string& name, const Bytes& data) {
  return [=](MemEnv& env) {
    env.put("in", data);
    return storeFile(env, name, "d.img", "in");
  };
}
Op erase(const std::string& name) { return [=](MemEnv& env) { return eraseAll(env, "d.img", name); }; }

struct Row {
  const char* what;
  uint32_t blocks;
  std::function<void(Disk&)> start;
  std::vector<Op> ops;
  Error last;  // what the last operation gives; those before it succeed
  std::function<void(Disk&)> want;  // the image from scratch; none: as it started
};

void setBits(Disk& d, unsigned char b0, unsigned char b1) { d.bytes[12] = b0, d.bytes[13] = b1; }
const Bytes Hello{'h', 'e', 'l', 'l', 'o'}, One{1}, Big = pattern(3584 * 1024, 7);

std::vector<Row> rows() {
  using D = Disk&;
  std::vector<Row> all = {
      // Remains of earlier files in the free slot and block must not show.
      {"dirty 1-block image", 1,
       [](D d) { std::fill(d.bytes.begin() + 13, d.bytes.end(), 0xBB); }, {store("x", Hello)},
       Error::Ok, [](D d) { d.file("x", {0}, Hello); }},
      // First fit: block 8 is bit 0 of byte 13; a freed block 3 comes first.
      {"blocks 0-7 used", 16, [](D d) { setBits(d, 0xFF, 0); }, {store("n", One)}, Error::Ok,
       [](D d) { setBits(d, 0xFF, 0), d.file("n", {8}, One); }},
      {"block 3 free", 16, [](D d) { setBits(d, 0x37, 0); }, {store("n", One)}, Error::Ok,
       [](D d) { setBits(d, 0x37, 0), d.file("n", {3}, One); }},
      {"block 7 free", 16, [](D d) { setBits(d, 0x7F, 0xFF); }, {store("n", One)}, Error::Ok,
       [](D d) { setBits(d, 0x7F, 0xFF), d.file("n", {7}, One); }},
      {"spare bits set", 9, [](D d) { setBits(d, 0xFF, 0xFE); }, {store("n", One)}, Error::Ok,
       [](D d) { setBits(d, 0xFF, 0xFE), d.file("n", {8}, One); }},
      {"spare bits are no blocks", 9, [](D d) { setBits(d, 0xFF, 0); }, {store("n", pattern(8184, 1))},
       Error::NoSpace, nullptr},
      {"full", 9, [](D d) { setBits(d, 0xFF, 0x01); }, {store("n", One)}, Error::NoSpace, nullptr},
      {"two free, one real", 9, [](D d) { setBits(d, 0xFE, 0xFE); }, {store("n", pattern(8185, 1))},
       Error::NoSpace, nullptr},
      {"exact fit around a file", 4, [](D d) { d.file("g", {1}, 10); },
       {store("f", pattern(3 * 4092, 9))}, Error::Ok,
       [](D d) { d.file("g", {1}, 10), d.file("f", {0, 2, 3}, pattern(3 * 4092, 9)); }},
      {"one byte short", 4, [](D d) { d.file("g", {1}, 10); }, {store("f", pattern(3 * 4092 + 1, 9))},
       Error::NoSpace, nullptr},
      {"empty file needs a block", 1, [](D d) { d.file("x", {0}, 5); }, {store("e", {})},
       Error::NoSpace, nullptr},
      {"name taken", 2, [](D d) { d.file("a.txt", {0}, 5); }, {store("a.txt", One)}, Error::Exists,
       nullptr},
      {"no room told first", 2, [](D d) { d.file("a.txt", {0}, 5); },
       {store("a.txt", pattern(8184, 2))}, Error::NoSpace, nullptr},
      {"names differ in case", 2, [](D d) { d.file("a.txt", {0}, 5); }, {store("A.txt", One)},
       Error::Ok, [](D d) { d.file("a.txt", {0}, 5), d.file("A.txt", {1}, One); }},
      // A stale entry past tableEnd is no file.
      {"stale slot", 2, [](D d) { d.entry("gone", 0, 5, 5), d.put(8, 13); }, {store("gone", One)},
       Error::Ok, [](D d) { d.file("gone", {0}, One); }},
      // Erased files leave gaps that a later file's chain jumps through.
      {"chain through gaps", 8,
       [](D d) {
         d.file("A", {0, 1}, 8000), d.file("B", {2}, 100), d.file("C", {3, 4}, 5000);
         d.file("D", {5}, 1);
       },
       {erase("A"), erase("C"), store("E", pattern(4 * 4092 + 7, 5))}, Error::Ok,
       [](D d) {
         d.file("B", {2}, pattern(100, 2)), d.file("D", {5}, pattern(1, 4));
         d.file("E", {0, 1, 3, 4, 6}, pattern(4 * 4092 + 7, 5));
         d.entry("D", 5, 1, 1), d.put(8, 109);  // the vacated slot keeps D's entry
       }},
      // An interrupted erase left the entry twice: its blocks stay for the copy.
      {"repeated entry", 4, [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908); },
       {erase("x")}, Error::Ok,
       [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908), d.put(8, 45); }},
      {"repeated entry, both erased", 4,
       [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908); }, {erase("x"), erase("x")},
       Error::Ok, [](D d) { d.entry("x", 1, 5000, 908), d.entry("x", 1, 5000, 908), d.put(8, 13); }},
      {"empty name", 1, nullptr, {store("", Hello), erase(""), store("", Hello)}, Error::Ok,
       [](D d) { d.file("", {0}, Hello); }},
      {"longest name", 1, nullptr, {store(std::string(19, 's'), Hello)}, Error::Ok,
       [](D d) { d.file(std::string(19, 's'), {0}, Hello); }},
      // 897 blocks in 1 MiB runs, contiguous, then around every third block.
      {"3.5 MiB", 1400, nullptr, {store("big", Big)}, Error::Ok,
       [](D d) { d.file("big", blocks(897), Big); }},
      {"3.5 MiB fragmented", 1400, [](D d) { d.file("o", blocks(467, 1), 467 * 4092); },
       {store("big", Big)}, Error::Ok,
       [](D d) { d.file("o", blocks(467, 1), 467 * 4092), d.file("big", blocks(897, 0), Big); }},
  };
  for (uint32_t size : {0u, 1u, 4091u, 4092u, 4093u, 8184u})
    all.push_back({"block boundary", 4, nullptr, {store("f", pattern(size, size))}, Error::Ok,
                   [size](D d) { d.file("f", blocks(size > 4092 ? 2 : 1), pattern(size, size)); }});
  // Erase the first, middle and last entry: the later ones move down, the
  // vacated last slot keeps its bytes, a stray byte in a free block stays.
  auto abc = [](D d) {
    d.file("A", {0}, 10), d.file("B", {1, 2}, 5000), d.file("C", {3}, 0);
    d.bytes[d.block(5)] = 0x5A;
  };
  const std::pair<const char*, std::vector<std::pair<std::string, std::vector<uint32_t>>>> kept[] =
      {{"A", {{"B", {1, 2}}, {"C", {3}}}}, {"B", {{"A", {0}}, {"C", {3}}}},
       {"C", {{"A", {0}}, {"B", {1, 2}}}}};
  for (const auto& [victim, files] : kept)
    all.push_back({"erase one of three", 6, abc, {erase(victim), erase(victim)}, Error::NotStored,
                   [abc, files = files](D d) {
                     Disk full(6);
                     abc(full);
                     for (const auto& [name, chain] : files) d.file(name, chain, full.keep[name]);
                     std::copy_n(full.bytes.begin() + d.slot(2), 32, d.bytes.begin() + d.slot(2));
                     d.bytes[d.block(5)] = 0x5A;
                   }});
  return all;
}

TEST(Format, FreshImageIsLiteralBytes) {
  MemEnv env;
  Geometry g;
  ASSERT_TRUE(makeImage(env, "d.img", 4, &g).ok());
  Bytes want(4141, 0);
  const unsigned char header[] = {1, 0, 0, 0, 0x2D, 0, 0, 0, 0x0D, 0, 0, 0};
  std::copy_n(header, 12, want.begin());
  EXPECT_EQ(firstDiff(*env.get("d.img"), want), "");
  EXPECT_EQ(firstDiff(Disk(1).bytes, want), "");
  for (uint32_t kb : {5u, 160u, 1024u}) {
    ASSERT_TRUE(makeImage(env, "d.img", kb, &g).ok());
    EXPECT_EQ(firstDiff(*env.get("d.img"), Disk((kb + 3) / 4).bytes), "") << kb;
  }
  // One 5-byte file "x": tableEnd 45, bit 0, entry {0, 5, 5, "x"}, data, link.
  want[8] = 45, want[12] = 1, want[17] = 5, want[21] = 5, want[25] = 'x';
  std::copy_n("hello", 5, want.begin() + 45);
  std::fill_n(want.begin() + 4137, 4, 0xFF);
  Disk one(1);
  one.file("x", {0}, Hello);
  EXPECT_EQ(firstDiff(one.bytes, want), "");
}

TEST(Format, OperationsLeaveTheseBytes) {
  for (const Row& r : rows()) {
    Disk start(r.blocks), want(r.blocks);
    if (r.start) r.start(start);
    (r.want ? r.want : r.start ? r.start : [](Disk&) {})(want);
    MemEnv env;
    env.put("d.img", start.bytes);
    Status s;
    for (size_t i = 0; i < r.ops.size() && s.ok(); ++i) s = r.ops[i](env);
    EXPECT_EQ(s.code, r.last) << r.what;
    EXPECT_EQ(firstDiff(*env.get("d.img"), want.bytes), "") << r.what;
    for (const auto& [name, data] : want.keep) {
      Bytes got;
      EXPECT_TRUE(fetchBytes(env, "d.img", name, &got).ok() && got == data) << r.what << ": " << name;
    }
  }
}

// 2100 entries: more than one batch of table reads and moves.
TEST(Format, TableLongerThanOneBatch) {
  Disk start(2100), want(2100);
  for (uint32_t i = 0; i < 2100; ++i) {
    std::string name = "f" + std::to_string(i);
    start.file(name, {i}, pattern(i % 50, i));
    if (i > 0) want.file(name, {i}, pattern(i % 50, i));
  }
  std::copy_n(start.bytes.begin() + start.slot(2099), 32, want.bytes.begin() + want.slot(2099));
  MemEnv env;
  env.put("d.img", start.bytes);
  EXPECT_EQ(listed(env, "d.img").back(), "f2099");
  ASSERT_TRUE(eraseAll(env, "d.img", "f0").ok());
  EXPECT_EQ(firstDiff(*env.get("d.img"), want.bytes), "");
  EXPECT_EQ(judge(env, "d.img", Look::Clean, &want.keep), "");
}

}  // namespace
}  // namespace korvane::test
