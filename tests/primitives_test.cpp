#include "image/primitives.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace korvane {
namespace {

using test::Bytes;

class PrimitivesTest : public ::testing::Test {
 protected:
  // Writes `bytes` as the image and opens it for writing.
  void open(const Bytes& bytes) {
    test::writeBytes(path_, bytes);
    img_.reset();
    ASSERT_TRUE(Image::open(Env::host(), path_.c_str(), Access::Write, &img_).ok());
  }
  uint32_t allocate() {
    uint32_t block = 0;
    EXPECT_TRUE(allocateBlock(*img_, &block).ok());
    return block;
  }
  bool enough(uint64_t n) {
    bool yes = true;
    EXPECT_TRUE(hasFreeBlocks(*img_, n, &yes).ok());
    return yes;
  }
  bool exists(std::string_view name) {
    bool yes = true;
    EXPECT_TRUE(fileExists(*img_, name, &yes).ok());
    return yes;
  }
  Bytes onDisk() const { return test::readBytes(path_); }

  test::TempDir dir_;
  std::string path_ = dir_.file("disk.img");
  std::unique_ptr<Image> img_;
};

TEST_F(PrimitivesTest, AllocateTakesBlocksInAscendingOrder) {
  Bytes want = test::emptyImage(16);
  ASSERT_NO_FATAL_FAILURE(open(want));
  const unsigned char bitmap[] = {0x01, 0x03, 0x07};
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(allocate(), k);
    want[12] = bitmap[k];  // the one byte a call writes
    EXPECT_EQ(test::firstDiff(onDisk(), want), "") << "after block " << k;
  }
}

// Two bitmap bytes before and after one allocateBlock call.
struct AllocCase {
  uint32_t blocks;
  unsigned char before0, before1;
  uint32_t taken;
  unsigned char after0, after1;
};

TEST_F(PrimitivesTest, AllocateIsFirstFit) {
  const AllocCase cases[] = {
      {16, 0xFF, 0x00, 8, 0xFF, 0x01},  // blocks 0-7 used: block 8 is bit 0 of byte 13
      {16, 0x37, 0x00, 3, 0x3F, 0x00},  // freed block 3 comes before the free 6 and up
      {16, 0x7F, 0xFF, 7, 0xFF, 0xFF},  // block 7 is bit 7
      {9, 0xFF, 0xFE, 8, 0xFF, 0xFF},   // spare bits set, block 8 still free
      {9, 0xFF, 0x01, EndOfChain, 0xFF, 0x01},  // full: the seven spare bits are no blocks
      {9, 0xFF, 0xFF, EndOfChain, 0xFF, 0xFF},
  };
  for (const AllocCase& c : cases) {
    Bytes want = test::emptyImage(c.blocks);
    want[12] = c.before0;
    want[13] = c.before1;
    ASSERT_NO_FATAL_FAILURE(open(want));
    EXPECT_EQ(allocate(), c.taken) << int{c.before0} << "," << int{c.before1};
    want[12] = c.after0;
    want[13] = c.after1;
    EXPECT_EQ(test::firstDiff(onDisk(), want), "") << int{c.before0} << "," << int{c.before1};
  }
}

TEST_F(PrimitivesTest, HasFreeBlocksCountsOnlyRealBlocks) {
  struct Case {
    uint32_t blocks;
    unsigned char bits0, bits1;
    uint64_t n;
    bool want;
  };
  const Case cases[] = {
      {9, 0x00, 0x00, 9, true},    // a new image: every block
      {9, 0x00, 0x00, 10, false},  // more than blockCount
      {9, 0xFF, 0x00, 1, true},    // block 8 alone
      {9, 0xFF, 0x00, 2, false},   // byte 13's clear bits 1-7 stand for no block
      {9, 0xFF, 0x01, 1, false},
      {9, 0xFE, 0xFE, 2, true},    // blocks 0 and 8; the set spare bits change nothing
      {9, 0xFE, 0xFE, 3, false},
      {16, 0x0F, 0xF0, 8, true},
      {16, 0x0F, 0xF0, 9, false},
  };
  for (const Case& c : cases) {
    Bytes img = test::emptyImage(c.blocks);
    img[12] = c.bits0;
    img[13] = c.bits1;
    ASSERT_NO_FATAL_FAILURE(open(img));
    EXPECT_EQ(enough(c.n), c.want) << c.blocks << " blocks, " << int{c.bits0} << ","
                                   << int{c.bits1} << ", n " << c.n;
    EXPECT_EQ(test::firstDiff(onDisk(), img), "");
  }
}

// A bitmap of 75,000 bytes is read in more than one window. The image is
// sparse: only the header and the bitmap take disk space.
TEST_F(PrimitivesTest, BitmapLongerThanOneReadWindow) {
  const uint32_t blocks = 599999;
  const size_t bitmap = 75000, dataOffset = 12 + bitmap + 32 * size_t{blocks};
  const size_t length = dataOffset + 4096 * size_t{blocks};  // 2,476,870,884 bytes
  Bytes head(12 + bitmap, 0xFF);
  test::putU32(head, 0, blocks);
  test::putU32(head, 4, static_cast<uint32_t>(dataOffset));
  test::putU32(head, 8, static_cast<uint32_t>(12 + bitmap));
  head[12 + 70000] = 0xEF;  // block 560004 is the only free one
  head[12 + 74999] = 0x7F;  // bit 7 of the last byte stands for no block
  test::writeBytes(path_, head);
  ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(length)), 0);
  ASSERT_TRUE(Image::open(Env::host(), path_.c_str(), Access::Write, &img_).ok());

  EXPECT_TRUE(enough(1));
  EXPECT_FALSE(enough(2));
  EXPECT_EQ(allocate(), 560004u);
  EXPECT_FALSE(enough(1));
  EXPECT_EQ(allocate(), EndOfChain);
  Bytes after(13);
  std::ifstream in(path_, std::ios::binary);
  in.seekg(12 + 69994);
  in.read(reinterpret_cast<char*>(after.data()), 13);
  EXPECT_EQ(after, Bytes(13, 0xFF));
}

TEST_F(PrimitivesTest, NothingExistsInAnEmptyTable) {
  Bytes img = test::emptyImage(2);
  // Remains of an erased entry in the first slot, past tableEnd.
  test::putEntry(img, 13, 0, 5, 5, "gone");
  ASSERT_NO_FATAL_FAILURE(open(img));
  for (std::string_view name : {"", "gone", "x", "nineteen-bytes-name"})
    EXPECT_FALSE(exists(name)) << '"' << name << '"';
}

TEST_F(PrimitivesTest, FileExistsComparesWholeNamesExactly) {
  Bytes img = test::emptyImage(8);
  test::addFile(img, "a.txt", test::bytesOf("one"), {0});
  test::addFile(img, "", {}, {1});
  test::addFile(img, "abcdefghijklmnopqrs", test::bytesOf("three"), {2});
  test::putEntry(img, test::slotAt(8, 3), 3, 1, 1, "gone");  // stale, past tableEnd
  ASSERT_NO_FATAL_FAILURE(open(img));
  const std::pair<std::string_view, bool> cases[] = {
      {"a.txt", true},  {"A.txt", false}, {"a.tx", false},
      {"a.txt ", false}, {"a.txtx", false}, {"", true},
      {"abcdefghijklmnopqrs", true},  {"abcdefghijklmnopqrst", false},
      {"abcdefghijklmnopqr", false},  {"gone", false},
  };
  for (auto [name, want] : cases) EXPECT_EQ(exists(name), want) << '"' << name << '"';
}

}  // namespace
}  // namespace korvane
