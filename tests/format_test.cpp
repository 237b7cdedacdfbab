// The bytes each operation leaves, against images laid out by hand: a fresh
// image and a stored file as literal bytes, first-fit allocation, chains
// across 1 MiB runs and through gaps, the zeroed tail of a last block, the
// table closing up after an erase, refusals that change nothing. Every file
// the expected image holds then reads back.
#include <gtest/gtest.h>
#include "image/commit.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

std::string firstDiff(const Bytes& got, const Bytes& want) {
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i] != want[i]) return "offset " + std::to_string(i) + ": " + std::to_string(got[i]) + ", want " + std::to_string(want[i]);
  return got.size() == want.size() ? "" : "size " + std::to_string(got.size());
}

TEST(Format, FreshImageAndOneFileAreLiteralBytes) {
  MemEnv env;
  Geometry g;
  ASSERT_TRUE(makeImage(env, "d.img", 4, &g).ok());
  Bytes want(4141, 0);
  const unsigned char header[] = {1, 0, 0, 0, 0x2D, 0, 0, 0, 0x0D, 0, 0, 0};
  std::copy_n(header, 12, want.begin());
  EXPECT_EQ(firstDiff(*env.get("d.img"), want), "");
  EXPECT_EQ(firstDiff(Disk(1).bytes, want), "");
  for (uint32_t kb : {5u, 1024u}) {
    ASSERT_TRUE(makeImage(env, "d.img", kb, &g).ok());
    EXPECT_EQ(firstDiff(*env.get("d.img"), Disk((kb + 3) / 4).bytes), "") << kb;
  }
  // One 5-byte file "x": tableEnd 45, bit 0, entry {0, 5, 5, "x"}, data, link.
  want[8] = 45, want[12] = 1, want[17] = 5, want[21] = 5, want[25] = 'x';
  std::copy_n("hello", 5, want.begin() + 45), std::fill_n(want.begin() + 4137, 4, 0xFF);
  Disk one(1);
  one.file("x", {0}, Bytes(want.begin() + 45, want.begin() + 50));
  EXPECT_EQ(firstDiff(one.bytes, want), "");
}

using D = Disk&;
using Build = std::function<void(Disk&)>;
struct Step {  // stores `data` as `name`, or erases `name`
  std::string name;
  Bytes data;
  bool store = true;
};
struct Row {
  const char* what;
  uint32_t blocks;
  Build start;
  std::vector<Step> steps;
  Error last;  // what the last step gives; those before it succeed
  Build want;  // the image from scratch; none: as it started
};

Build bits(unsigned char b0, unsigned char b1, Build then = nullptr) {
  return [=](D d) { d.bytes[12] = b0, d.bytes[13] = b1, then ? then(d) : void(); };
}
const Bytes Hello{'h', 'e', 'l', 'l', 'o'}, One{1}, Big = pattern(3584 * 1024, 7);
auto abc = [](D d) { d.file("A", {0}, 10), d.file("B", {1, 2}, 5000), d.file("C", {3}, 0), d.bytes[d.block(5)] = 0x5A; };

std::vector<Row> rows() {
  std::vector<Row> all = {
      // Remains of earlier files in the free slot and block must not show.
      {"dirty image", 1, [](D d) { std::fill(d.bytes.begin() + 13, d.bytes.end(), 0xBB); }, {{"x", Hello}}, Error::Ok,
       [](D d) { d.file("x", {0}, Hello); }},
      // First fit: block 8 is bit 0 of byte 13; a freed block 3 comes first.
      {"blocks 0-7 used", 16, bits(0xFF, 0), {{"n", One}}, Error::Ok, bits(0xFF, 0, [](D d) { d.file("n", {8}, One); })},
      {"block 3 free", 16, bits(0x37, 0), {{"n", One}}, Error::Ok, bits(0x37, 0, [](D d) { d.file("n", {3}, One); })},
      {"block 7 free", 16, bits(0x7F, 0xFF), {{"n", One}}, Error::Ok, bits(0x7F, 0xFF, [](D d) { d.file("n", {7}, One); })},
      {"spare bits set", 9, bits(0xFF, 0xFE), {{"n", One}}, Error::Ok, bits(0xFF, 0xFE, [](D d) { d.file("n", {8}, One); })},
      {"spare bits clear", 9, bits(0xFF, 0), {{"n", pattern(8184, 1)}}, Error::NoSpace, nullptr},
      {"full", 9, bits(0xFF, 1), {{"n", One}}, Error::NoSpace, nullptr},
      {"blocks 0 and 8 free", 9, bits(0xFE, 0xFE), {{"n", pattern(8185, 1)}}, Error::NoSpace, nullptr},
      // A stale entry past tableEnd is no file.
      {"stale slot", 2, [](D d) { d.entry("gone", 0, 5, 5), d.put(8, 13); }, {{"gone", One}}, Error::Ok,
       [](D d) { d.file("gone", {0}, One); }},
      {"longest name", 1, nullptr, {{std::string(19, 's'), Hello}}, Error::Ok,
       [](D d) { d.file(std::string(19, 's'), {0}, Hello); }},
      // Erased files leave gaps that a later file's chain jumps through; the
      // vacated slot keeps D's entry.
      {"chain through gaps", 8, [](D d) { d.file("A", {0, 1}, 8000), d.file("B", {2}, 100), d.file("C", {3, 4}, 5000), d.file("D", {5}, 1); },
       {{"A", {}, false}, {"C", {}, false}, {"E", pattern(4 * 4092 + 7, 5)}}, Error::Ok,
       [](D d) {
         d.file("B", {2}, pattern(100, 2)), d.file("D", {5}, pattern(1, 4)), d.file("E", {0, 1, 3, 4, 6}, pattern(4 * 4092 + 7, 5));
         d.entry("D", 5, 1, 1), d.put(8, 109);
       }},
      // An interrupted erase left the entry twice: its blocks stay for the copy.
      {"repeated entry", 4, [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908); }, {{"x", {}, false}},
       Error::Ok, [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908), d.put(8, 45); }},
      {"repeated entry, both erased", 4, [](D d) { d.file("x", {1, 2}, 5000), d.entry("x", 1, 5000, 908); },
       {{"x", {}, false}, {"x", {}, false}}, Error::Ok, [](D d) { d.entry("x", 1, 5000, 908), d.entry("x", 1, 5000, 908), d.put(8, 13); }},
      // 897 blocks in 1 MiB runs around every third block.
      {"3.5 MiB fragmented", 1400, [](D d) { d.file("o", blocks(467, 1), 467 * 4092); }, {{"big", Big}}, Error::Ok,
       [](D d) { d.file("o", blocks(467, 1), 467 * 4092), d.file("big", blocks(897, 0), Big); }},
  };
  // 2100 entries: more than one 64 kB batch of table to read and move.
  auto table = [](D d, uint32_t from) {
    for (uint32_t i = from; i < 2100; ++i) d.file("f" + std::to_string(i), {i}, pattern(i % 50, i));
  };
  all.push_back({"long table", 2100, [=](D d) { table(d, 0); }, {{"f0", {}, false}}, Error::Ok, [=](D d) {
                   table(d, 1), d.entry("f2099", 2099, 49, 49), d.put(8, uint32_t(d.slot(2099)));
                 }});
  for (uint32_t size : {0u, 1u, 4091u, 4092u, 4093u, 8184u})
    all.push_back({"block boundary", 4, nullptr, {{"f", pattern(size, size)}}, Error::Ok,
                   [size](D d) { d.file("f", blocks(size > 4092 ? 2 : 1), pattern(size, size)); }});
  // Erase the first, middle and last entry: the later ones move down, the
  // vacated last slot keeps its bytes, a stray byte in a free block stays.
  const std::pair<std::string, std::vector<std::pair<std::string, std::vector<uint32_t>>>> kept[] = {
      {"A", {{"B", {1, 2}}, {"C", {3}}}}, {"B", {{"A", {0}}, {"C", {3}}}}, {"C", {{"A", {0}}, {"B", {1, 2}}}}};
  for (const auto& k : kept)
    all.push_back({"erase one of three", 6, abc, {{k.first, {}, false}, {k.first, {}, false}}, Error::NotStored, [files = k.second](D d) {
                     Disk full(6);
                     abc(full);
                     for (const auto& [name, chain] : files) d.file(name, chain, full.keep[name]);
                     std::copy_n(full.bytes.begin() + d.slot(2), 32, d.bytes.begin() + d.slot(2)), d.bytes[d.block(5)] = 0x5A;
                   }});
  return all;
}

TEST(Format, OperationsLeaveTheseBytes) {
  for (const Row& r : rows()) {
    Disk start(r.blocks), want(r.blocks);
    (r.start ? r.start : [](D) {})(start);
    (r.want ? r.want : r.start ? r.start : [](D) {})(want);
    MemEnv env;
    env.put("d.img", start.bytes);
    Status s;
    for (size_t i = 0; i < r.steps.size() && s.ok(); ++i)
      s = r.steps[i].store ? (env.put("in", r.steps[i].data), storeFile(env, r.steps[i].name, "d.img", "in"))
                           : eraseAll(env, "d.img", r.steps[i].name);
    EXPECT_EQ(s.code, r.last) << r.what;
    EXPECT_EQ(firstDiff(*env.get("d.img"), want.bytes), "") << r.what;
    for (const auto& [name, data] : want.keep) {
      Bytes got;
      EXPECT_TRUE(fetchBytes(env, "d.img", name, &got).ok() && got == data) << r.what << ": " << name;
    }
  }
}

// An edit naming a slot the table lacks by then, a name too long or a file
// past the last slot is refused before a byte is written; its neighbours
// within bounds are not.
TEST(Format, AnEditNamingNoEntryWritesNothing) {
  const FileEntry y = makeEntry("y", 2, 1);
  const std::string longest(MaxNameLength, 'n'), tooLong(MaxNameLength + 1, 'n');
  const std::pair<bool, std::function<void(TableEdit&)>> edits[] = {
      {false, [](TableEdit& e) { e.remove(2); }},
      {false, [](TableEdit& e) { e.remove(0).remove(1); }},
      {true, [](TableEdit& e) { e.remove(0).remove(0); }},
      {false, [](TableEdit& e) { e.rename(2, "y"); }},
      {false, [&](TableEdit& e) { e.rename(0, tooLong); }},
      {true, [&](TableEdit& e) { e.rename(1, longest); }},
      {false, [&](TableEdit& e) { e.rewrite(2, y); }},
      {true, [&](TableEdit& e) { e.rewrite(1, y); }},
      {false, [&](TableEdit& e) { e.add(y).add(y); }},
      {true, [&](TableEdit& e) { e.remove(1).add(y).add(y); }},
  };
  for (size_t i = 0; i < std::size(edits); ++i) {
    Disk start(3);
    start.file("a", {0}, One), start.file("b", {1}, One);
    MemEnv env;
    env.put("d.img", start.bytes);
    std::unique_ptr<Image> img;
    ASSERT_TRUE(Image::open(env, "d.img", Access::Write, &img).ok());
    TableEdit edit(*img);
    edits[i].second(edit);
    EXPECT_EQ(commitEdit(*img, edit).status.code, edits[i].first ? Error::Ok : Error::NotStored) << i;
    if (!edits[i].first) {
      EXPECT_EQ(firstDiff(*env.get("d.img"), start.bytes), "") << i;
    }
  }
}

}  // namespace
}  // namespace korvane::test
