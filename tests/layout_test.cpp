#include "image/layout.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace korvane {
namespace {

TEST(Coding, U32IsLittleEndian) {
  unsigned char b[4];
  encodeU32(b, 0x0A0B0C0D);
  EXPECT_EQ(b[0], 0x0D);
  EXPECT_EQ(b[1], 0x0C);
  EXPECT_EQ(b[2], 0x0B);
  EXPECT_EQ(b[3], 0x0A);
  const unsigned char ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(decodeU32(ff), EndOfChain);
}

TEST(Coding, HeaderOfFourKilobyteImage) {
  unsigned char raw[HeaderSize];
  uint64_t blocks = blocksForDiskSize(4);
  encodeHeader(raw, {static_cast<uint32_t>(blocks), static_cast<uint32_t>(dataOffsetFor(blocks)),
                     static_cast<uint32_t>(tableStart(blocks))});
  const unsigned char want[HeaderSize] = {1, 0, 0, 0, 0x2D, 0, 0, 0, 0x0D, 0, 0, 0};
  EXPECT_EQ(0, memcmp(raw, want, HeaderSize));
}

TEST(Geometry, Sizes) {
  for (uint32_t kb : {1u, 2u, 3u, 4u}) EXPECT_EQ(blocksForDiskSize(kb), 1u) << kb;
  EXPECT_EQ(blocksForDiskSize(5), 2u);
  EXPECT_EQ(imageBytes(2), 8269u);
  EXPECT_EQ(blocksForDiskSize(1024), 256u);
  EXPECT_EQ(bitmapBytes(256), 32u);
  EXPECT_EQ(tableStart(256), 44u);
  EXPECT_EQ(imageBytes(256), 1056812u);
  EXPECT_EQ(imageBytes(0), 12u);
  EXPECT_EQ(blocksForDiskSize(MaxDiskSizeKb), MaxBlockCount);
  EXPECT_EQ(imageBytes(MaxBlockCount), 4294963184u);
}

TEST(Geometry, FileBlocks) {
  EXPECT_EQ(blocksForFile(0), 1u);
  EXPECT_EQ(lastBlockBytesFor(0), 0u);
  EXPECT_EQ(blocksForFile(4092), 1u);
  EXPECT_EQ(lastBlockBytesFor(4092), 4092u);
  EXPECT_EQ(blocksForFile(4093), 2u);
  EXPECT_EQ(lastBlockBytesFor(4093), 1u);
  EXPECT_EQ(lastBlockBytesFor(10000), 1816u);
  EXPECT_EQ(blocksForFile(0xFFFFFFFF), 1049602u);
}

TEST(Bitmap, BitOrder) {
  unsigned char map[2] = {0, 0};
  setBit(map, 7);
  setBit(map, 8);
  EXPECT_EQ(map[0], 0x80);
  EXPECT_EQ(map[1], 0x01);
  clearBit(map, 7);
  EXPECT_EQ(map[0], 0x00);
  EXPECT_TRUE(testBit(map, 8));
}

TEST(Entry, EncodingAndNames) {
  unsigned char raw[FileEntrySize];
  encodeEntry(raw, makeEntry("x", 0, 5));
  const unsigned char want[16] = {0, 0, 0, 0, 5, 0, 0, 0, 5, 0, 0, 0, 'x', 0, 0, 0};
  EXPECT_EQ(0, memcmp(raw, want, sizeof want));
  // A damaged name field without NUL is read as its 20 bytes, no further.
  memset(raw + NameField, 'a', NameFieldSize);
  EXPECT_EQ(decodeEntry(raw).nameView(), std::string(20, 'a'));
  EXPECT_FALSE(decodeEntry(raw).hasName(std::string(19, 'a')));
}

}  // namespace
}  // namespace korvane
