// Storing, reading back and erasing files, pinned to the bytes they leave.
#include <gtest/gtest.h>
#include <unistd.h>

#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"
#include "ops/ops.h"
#include "tests/test_util.h"

namespace korvane {
namespace {

using test::Bytes;
using test::firstDiff;

class StoreTest : public ::testing::Test {
 protected:
  void put(const Bytes& img) { test::writeBytes(image_, img); }
  Bytes image() const { return test::readBytes(image_); }
  Status store(std::string_view name, const Bytes& data) {
    test::writeBytes(host_, data);
    return storeFile(Env::host(), name, image_.c_str(), host_.c_str());
  }
  // Reads `name` out to out_; *data gets what the host file then holds.
  Status fetch(std::string_view name, Bytes* data = nullptr) {
    std::filesystem::remove(out_);
    Status s = fetchFile(Env::host(), image_.c_str(), out_.c_str(), name);
    if (data) *data = test::readBytes(out_);
    return s;
  }
  Status erase(std::string_view name) { return test::removeAll(Env::host(), image_.c_str(), name); }

  test::TempDir dir_;
  std::string image_ = dir_.file("d.img"), host_ = dir_.file("in.bin"), out_ = dir_.file("out.bin");
};

// Follows a stored file's chain by hand, at most blockCount hops.
Bytes readByHand(const Bytes& img, size_t entry, std::vector<uint32_t>* chain = nullptr) {
  uint32_t blocks = test::getU32(img, 0), size = test::getU32(img, entry + 4);
  Bytes data;
  uint32_t k = test::getU32(img, entry);
  for (uint32_t hops = 0; k < blocks && hops < blocks; ++hops) {
    if (chain) chain->push_back(k);
    size_t at = test::blockAt(blocks, k);
    size_t n = std::min<size_t>(4092, size - data.size());
    data.insert(data.end(), img.begin() + at, img.begin() + at + n);
    k = test::getU32(img, at + 4092);
  }
  EXPECT_EQ(k, EndOfChain);
  return data;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
  std::vector<uint32_t> v;
  for (uint32_t k = from; k < to; ++k) v.push_back(k);
  return v;
}

TEST_F(StoreTest, FiveByteFileInOneBlockImage) {
  Bytes want = test::emptyImage(1);
  want[8] = 45;     // tableEnd = dataOffset: the one-slot table is full
  want[12] = 0x01;  // block 0 in use
  want[17] = 5;     // fileSize; firstBlock 0 at 13
  want[21] = 5;     // lastBlockBytes
  want[25] = 'x';   // name, then NUL at 26 and zeros to 44
  std::copy_n("hello", 5, want.begin() + 45);
  test::putU32(want, 4137, 0xFFFFFFFF);
  for (bool dirty : {false, true}) {
    Bytes start = test::emptyImage(1);
    if (dirty) {
      // Remains of earlier files in the free slot and block must not show.
      std::fill(start.begin() + 13, start.begin() + 45, 0xAA);
      std::fill(start.begin() + 45, start.end(), 0xBB);
    }
    put(start);
    ASSERT_TRUE(store("x", test::bytesOf("hello")).ok());
    EXPECT_EQ(firstDiff(image(), want), "") << (dirty ? "dirty" : "clean");
  }
}

TEST_F(StoreTest, BlockBoundarySizes) {
  struct Case {
    uint32_t size, blocks, lastBlockBytes;
  };
  const Case cases[] = {{0, 1, 0},       {1, 1, 1},    {4091, 1, 4091},
                        {4092, 1, 4092}, {4093, 2, 1}, {8184, 2, 4092}};
  for (const Case& c : cases) {
    Bytes data = test::patternBytes(c.size, c.size);
    put(test::emptyImage(4));  // tableStart 13, dataOffset 141
    ASSERT_TRUE(store("f", data).ok()) << c.size;
    Bytes img = image();
    EXPECT_EQ(test::getU32(img, 17), c.size);
    EXPECT_EQ(test::getU32(img, 21), c.lastBlockBytes) << c.size;
    EXPECT_EQ(img[12], (1u << c.blocks) - 1) << c.size;
    EXPECT_EQ(test::getU32(img, 4233), c.blocks == 1 ? EndOfChain : 1u) << c.size;
    if (c.blocks == 2) {
      EXPECT_EQ(test::getU32(img, 8329), EndOfChain) << c.size;
    }
    Bytes want = test::emptyImage(4);
    test::addFile(want, "f", data, range(0, c.blocks));
    EXPECT_EQ(firstDiff(img, want), "") << c.size;
    Bytes back;
    ASSERT_TRUE(fetch("f", &back).ok()) << c.size;
    EXPECT_EQ(back, data) << c.size;
  }
}

TEST_F(StoreTest, ChainJumpsOverOtherFilesAfterErasures) {
  // 8 blocks: tableStart 13, dataOffset 269. A{0,1} B{2} C{3,4} D{5}.
  const Bytes a = test::patternBytes(8000, 1), b = test::patternBytes(100, 2),
              c = test::patternBytes(5000, 3), d = test::patternBytes(1, 4),
              e = test::patternBytes(4 * 4092 + 7, 5);
  Bytes img = test::emptyImage(8);
  test::addFile(img, "A", a, {0, 1});
  test::addFile(img, "B", b, {2});
  test::addFile(img, "C", c, {3, 4});
  test::addFile(img, "D", d, {5});
  Bytes staleD(img.begin() + 109, img.begin() + 141);
  put(img);
  ASSERT_TRUE(erase("A").ok());
  ASSERT_TRUE(erase("C").ok());
  ASSERT_TRUE(store("E", e).ok());

  Bytes want = test::emptyImage(8);
  test::addFile(want, "B", b, {2});
  test::addFile(want, "D", d, {5});
  test::addFile(want, "E", e, {0, 1, 3, 4, 6});
  std::copy(staleD.begin(), staleD.end(), want.begin() + 109);  // vacated slot keeps D
  Bytes got = image();
  EXPECT_EQ(got[12], 0x7F);
  EXPECT_EQ(test::getU32(got, 269 + 1 * 4096 + 4092), 3u);
  EXPECT_EQ(test::getU32(got, 269 + 4 * 4096 + 4092), 6u);
  EXPECT_EQ(firstDiff(got, want), "");
  Bytes back;
  const std::pair<const char*, Bytes> files[] = {{"B", b}, {"D", d}, {"E", e}};
  for (const auto& [name, data] : files) {
    ASSERT_TRUE(fetch(name, &back).ok()) << name;
    EXPECT_EQ(back, data) << name;
  }
}

TEST_F(StoreTest, EraseFirstMiddleAndLastEntry) {
  // 6 blocks: tableStart 13, slots at 13, 45, 77; dataOffset 205.
  const Bytes a = test::patternBytes(10, 1), b = test::patternBytes(5000, 2);
  Bytes start = test::emptyImage(6);
  test::addFile(start, "A", a, {0});
  test::addFile(start, "B", b, {1, 2});
  test::addFile(start, "C", {}, {3});  // empty: owns one block all the same
  start[205 + 5 * 4096] = 0x5A;        // a stray byte in free block 5 stays
  const Bytes thirdSlot(start.begin() + 77, start.begin() + 109);
  struct Case {
    const char* victim;
    std::vector<std::pair<const char*, std::vector<uint32_t>>> kept;
  };
  const Case cases[] = {{"A", {{"B", {1, 2}}, {"C", {3}}}},
                        {"B", {{"A", {0}}, {"C", {3}}}},
                        {"C", {{"A", {0}}, {"B", {1, 2}}}}};
  for (const Case& c : cases) {
    put(start);
    ASSERT_TRUE(erase(c.victim).ok()) << c.victim;
    Bytes want = test::emptyImage(6);
    for (const auto& [name, chain] : c.kept)
      test::addFile(want, name, name[0] == 'A' ? a : name[0] == 'B' ? b : Bytes{}, chain);
    want[205 + 5 * 4096] = 0x5A;
    // The vacated last slot keeps its old bytes: C's entry, moved or erased.
    std::copy(thirdSlot.begin(), thirdSlot.end(), want.begin() + 77);
    Bytes got = image();
    EXPECT_EQ(test::getU32(got, 8), 77u) << c.victim;
    EXPECT_EQ(firstDiff(got, want), "") << c.victim;
    // The same name again: gone, and nothing changes.
    EXPECT_EQ(erase(c.victim).code, Error::NotStored) << c.victim;
    EXPECT_EQ(firstDiff(image(), want), "") << c.victim;
  }
}

TEST_F(StoreTest, OnlyFileErasedThenStoredAgain) {
  Bytes img = test::emptyImage(1);
  test::addFile(img, "x", test::bytesOf("hello"), {0});
  put(img);
  ASSERT_TRUE(erase("x").ok());
  Bytes want = test::emptyImage(1);
  std::copy(img.begin() + 13, img.begin() + 45, want.begin() + 13);  // the old entry stays
  EXPECT_EQ(firstDiff(image(), want), "");
  EXPECT_EQ(fetch("x").code, Error::NotStored);
  EXPECT_TRUE(store("x", test::bytesOf("again")).ok());
}

// An interrupted erase can leave an entry shown twice. Erasing one copy
// must not free the blocks the other still points to.
TEST_F(StoreTest, ErasingARepeatedEntryKeepsItsBlocksForTheOtherCopy) {
  Bytes img = test::emptyImage(4);
  Bytes data = test::patternBytes(5000, 3);
  test::addFile(img, "x", data, {1, 2});
  std::copy_n(img.begin() + test::slotAt(4, 0), 32, img.begin() + test::slotAt(4, 1));
  test::putU32(img, 8, static_cast<uint32_t>(test::slotAt(4, 2)));
  put(img);
  ASSERT_TRUE(erase("x").ok());
  Bytes after = image();
  EXPECT_EQ(after[12], 0x06) << "blocks 1 and 2 stay in use";
  Bytes back;
  ASSERT_TRUE(fetch("x", &back).ok());
  EXPECT_EQ(back, data);
  ASSERT_TRUE(erase("x").ok());
  EXPECT_EQ(image()[12], 0x00) << "the last copy frees them";
}

TEST_F(StoreTest, EmptyAndLongestNames) {
  for (std::string name : {std::string(), std::string("abcdefghijklmnopqrs")}) {
    put(test::emptyImage(1));
    ASSERT_TRUE(store(name, test::bytesOf("data")).ok()) << name;
    Bytes img = image();
    EXPECT_EQ(std::string(img.begin() + 25, img.begin() + 25 + name.size()), name);
    EXPECT_EQ(img[25 + name.size()], 0);
    EXPECT_EQ(img[44], 0);  // the field's last byte is the NUL of a 19-byte name
    Bytes back;
    ASSERT_TRUE(fetch(name, &back).ok()) << name;
    EXPECT_EQ(back, test::bytesOf("data"));
    ASSERT_TRUE(erase(name).ok()) << name;
    EXPECT_EQ(test::getU32(image(), 8), 13u);
  }
}

// 2100 entries: more than one batch of table reads and moves.
TEST_F(StoreTest, TableLongerThanOneBatch) {
  const uint32_t n = 2100;
  Bytes start = test::emptyImage(n), want = test::emptyImage(n);
  for (uint32_t i = 0; i < n; ++i) {
    test::addFile(start, "f" + std::to_string(i), test::bytesOf(std::to_string(i)), {i});
    if (i > 0) test::addFile(want, "f" + std::to_string(i), test::bytesOf(std::to_string(i)), {i});
  }
  put(start);
  std::vector<std::string> names;
  ASSERT_TRUE(listImage(Env::host(), image_.c_str(), [] {}, [&](const FileEntry& e) {
                names.emplace_back(e.nameView());
              }).ok());
  ASSERT_EQ(names.size(), n);
  EXPECT_EQ(names.back(), "f2099");
  Bytes back;
  ASSERT_TRUE(fetch("f2099", &back).ok());
  EXPECT_EQ(back, test::bytesOf("2099"));

  ASSERT_TRUE(erase("f0").ok());
  size_t lastSlot = test::slotAt(n, n - 1);
  std::copy_n(start.begin() + lastSlot, 32, want.begin() + lastSlot);  // stale copy of f2099
  EXPECT_EQ(firstDiff(image(), want), "");
}

// ---- refusals leave the image byte-identical ------------------------------

TEST_F(StoreTest, ExactFitAcceptedOneBlockShortRefused) {
  // 4 blocks, block 1 taken: three free.
  Bytes start = test::emptyImage(4);
  test::addFile(start, "g", test::bytesOf("0123456789"), {1});
  struct Case {
    uint32_t size;
    Error want;
  };
  for (Case c : {Case{3 * 4092, Error::Ok}, Case{3 * 4092 + 1, Error::NoSpace}}) {
    put(start);
    Bytes data = test::patternBytes(c.size, 9);
    EXPECT_EQ(store("f", data).code, c.want) << c.size;
    if (c.want != Error::Ok) {
      EXPECT_EQ(firstDiff(image(), start), "") << c.size;
      continue;
    }
    Bytes img = image();
    EXPECT_EQ(img[12], 0x0F);
    EXPECT_EQ(test::getU32(img, 141 + 4092), 2u);             // 0 -> 2
    EXPECT_EQ(test::getU32(img, 141 + 2 * 4096 + 4092), 3u);  // 2 -> 3
    EXPECT_EQ(readByHand(img, 13 + 32), data);
  }
}

TEST_F(StoreTest, EmptyFileNeedsABlock) {
  Bytes full = test::emptyImage(1);
  test::addFile(full, "x", test::bytesOf("hello"), {0});
  put(full);
  EXPECT_EQ(store("e", {}).code, Error::NoSpace);
  EXPECT_EQ(firstDiff(image(), full), "");
}

TEST_F(StoreTest, NamesAreExactAndUnique) {
  Bytes start = test::emptyImage(2);
  test::addFile(start, "a.txt", test::bytesOf("first"), {0});
  struct Case {
    const char* name;
    size_t size;
    Error want;
  };
  const Case cases[] = {
      {"a.txt", 10, Error::Exists},
      {"a.txt", 2 * 4092, Error::NoSpace},  // both refusals: space is told first
      {"A.txt", 10, Error::Ok},
  };
  for (const Case& c : cases) {
    put(start);
    EXPECT_EQ(store(c.name, test::patternBytes(c.size, 3)).code, c.want) << c.name << c.size;
    if (c.want != Error::Ok) {
      EXPECT_EQ(firstDiff(image(), start), "") << c.name << c.size;
    }
  }
  Bytes back;
  ASSERT_TRUE(fetch("a.txt", &back).ok());
  EXPECT_EQ(back, test::bytesOf("first"));
}

// ---- round trips ----------------------------------------------------------

// 3.5 MiB through a 1400-block image: several 1 MiB runs, contiguous, then
// again with every third block taken by another file.
TEST_F(StoreTest, LargeFilesComeBackByteForByte) {
  const Bytes data = test::patternBytes(3584 * 1024, 7);  // 897 blocks
  for (bool fragmented : {false, true}) {
    Bytes start = test::emptyImage(1400);
    std::vector<uint32_t> taken, want;
    for (uint32_t k = 0; k < 1400; ++k) (fragmented && k % 3 == 1 ? taken : want).push_back(k);
    Bytes other = test::patternBytes(taken.size() * 4092, 8);
    if (fragmented) test::addFile(start, "other", other, taken);
    want.resize(897);
    put(start);
    ASSERT_EQ(store("big", data).code, Error::Ok) << fragmented;
    Bytes img = image();
    std::vector<uint32_t> chain;
    EXPECT_EQ(readByHand(img, test::slotAt(1400, fragmented ? 1 : 0), &chain), data);
    EXPECT_EQ(chain, want) << "the lowest free blocks, ascending";
    Bytes back;
    ASSERT_TRUE(fetch("big", &back).ok());
    EXPECT_TRUE(back == data) << fragmented;
    if (fragmented) {
      ASSERT_TRUE(fetch("other", &back).ok());
      EXPECT_TRUE(back == other);
    }
  }
}

// ---- mended faults --------------------------------------------------------

TEST_F(StoreTest, FetchOfMissingNameLeavesHostPathAlone) {
  Bytes img = test::emptyImage(2);
  test::addFile(img, "x", test::bytesOf("hello"), {0});
  put(img);
  test::writeBytes(out_, test::bytesOf("keep me"));
  EXPECT_EQ(fetchFile(Env::host(), image_.c_str(), out_.c_str(), "y").code, Error::NotStored);
  EXPECT_EQ(test::readBytes(out_), test::bytesOf("keep me"));
  EXPECT_EQ(fetch("X").code, Error::NotStored);  // fetch() removed out_ first
  EXPECT_FALSE(std::filesystem::exists(out_));
  EXPECT_EQ(firstDiff(image(), img), "");
}

// The image under other spellings: a "./" path and a hard link.
TEST_F(StoreTest, ImageIsNeverItsOwnSourceOrTarget) {
  Bytes img = test::emptyImage(2);
  test::addFile(img, "x", test::bytesOf("hello"), {0});
  put(img);
  std::string link = dir_.file("link.img");
  std::filesystem::create_hard_link(image_, link);
  for (const std::string& path : {image_, dir_.file("./d.img"), link}) {
    EXPECT_EQ(fetchFile(Env::host(), image_.c_str(), path.c_str(), "x").code, Error::SameFile)
        << path;
    EXPECT_EQ(firstDiff(image(), img), "") << path;
    EXPECT_EQ(storeFile(Env::host(), "self", image_.c_str(), path.c_str()).code, Error::SameFile)
        << path;
    EXPECT_EQ(firstDiff(image(), img), "") << path;
  }
  test::CaptureOutput out;
  readFile(image_.c_str(), dir_.file("./d.img").c_str(), "x");
  writeFile("self", image_.c_str(), image_.c_str());
  EXPECT_EQ(out.out(), "");
  EXPECT_EQ(out.errLines(), 2) << out.err();
  EXPECT_EQ(firstDiff(image(), img), "");
}

// A sparse host file of exactly 4 GiB costs no disk.
TEST_F(StoreTest, HostFileOfFourGiBRefusedBeforeAnyWrite) {
  Bytes img = test::emptyImage(4);
  put(img);
  test::writeBytes(host_, {});
  ASSERT_EQ(::truncate(host_.c_str(), off_t{1} << 32), 0);
  Status s = storeFile(Env::host(), "huge", image_.c_str(), host_.c_str());
  EXPECT_EQ(s.code, Error::FileTooLarge);
  EXPECT_EQ(firstDiff(image(), img), "");
  test::CaptureOutput out;
  writeFile("huge", image_.c_str(), host_.c_str());
  EXPECT_EQ(out.out(), "");
  EXPECT_EQ(out.errLines(), 1) << out.err();
  EXPECT_EQ(firstDiff(image(), img), "");
}

}  // namespace
}  // namespace korvane
