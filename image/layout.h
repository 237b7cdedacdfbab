// The one place that knows the disk image format.
//
//   offset 0            12             tableStart          dataOffset
//   +------------------+--------------+-------------------+--------------------------+
//   | header (3 x u32) | block bitmap | file table        | data blocks              |
//   | blockCount       | 1 bit/block  | 32 B per slot,    | 4096 B each:             |
//   | dataOffset       | LSB first    | blockCount slots  | 4092 B payload + u32 next|
//   | tableEnd         |              |                   |                          |
//   +------------------+--------------+-------------------+--------------------------+
//
// Every integer is an unsigned 32-bit little-endian value. A file is a chain
// of blocks linked through the last four bytes of each block; its last block
// links to EndOfChain. The used table slots are [tableStart, tableEnd).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane {

// Header fields, each a u32 at a fixed offset.
inline constexpr uint32_t BlockCountOffset = 0;
inline constexpr uint32_t DataOffsetOffset = 4;
inline constexpr uint32_t TableEndOffset = 8;
inline constexpr uint32_t HeaderSize = 4 + 4 + 4;

inline constexpr uint32_t BlockSize = 4096;
inline constexpr uint32_t LinkSize = 4;
inline constexpr uint32_t BlockPayload = BlockSize - LinkSize;
inline constexpr uint32_t EndOfChain = 0xFFFFFFFF;

// File entry: firstBlock, fileSize, lastBlockBytes, then the name field.
inline constexpr uint32_t FirstBlockField = 0;
inline constexpr uint32_t FileSizeField = 4;
inline constexpr uint32_t LastBlockBytesField = 8;
inline constexpr uint32_t NameField = 12;
inline constexpr uint32_t MaxNameLength = 19;
inline constexpr uint32_t NameFieldSize = MaxNameLength + 1;  // room for the NUL
inline constexpr uint32_t FileEntrySize = NameField + NameFieldSize;

// Every offset is a u32, so a whole image stays below 4 GiB; that allows
// this many blocks (an image of 4,294,963,184 bytes).
inline constexpr uint32_t MaxBlockCount = 1040415;
// The largest size createDisk takes, in kB: ceil(size / 4) <= MaxBlockCount.
inline constexpr uint32_t MaxDiskSizeKb = MaxBlockCount * (BlockSize / 1024);
// fileSize is a u32: a stored file holds at most this many bytes.
inline constexpr uint64_t MaxFileSize = 0xFFFFFFFF;
// Table slots read or written at a time: 64 KiB of table.
inline constexpr uint32_t TableBatch = 2048;

static_assert(HeaderSize == 12);
static_assert(BlockPayload == 4092);
static_assert(FileEntrySize == 32);

// ---- u32 encoding ----------------------------------------------------------

inline void encodeU32(unsigned char* dst, uint32_t value) {
  dst[0] = static_cast<unsigned char>(value);
  dst[1] = static_cast<unsigned char>(value >> 8);
  dst[2] = static_cast<unsigned char>(value >> 16);
  dst[3] = static_cast<unsigned char>(value >> 24);
}

inline uint32_t decodeU32(const unsigned char* src) {
  return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}

// ---- geometry --------------------------------------------------------------

inline constexpr uint64_t bitmapBytes(uint64_t blockCount) { return (blockCount + 7) / 8; }
inline constexpr uint64_t tableStart(uint64_t blockCount) {
  return HeaderSize + bitmapBytes(blockCount);
}
inline constexpr uint64_t dataOffsetFor(uint64_t blockCount) {
  return tableStart(blockCount) + uint64_t{FileEntrySize} * blockCount;
}
inline constexpr uint64_t imageBytes(uint64_t blockCount) {
  return dataOffsetFor(blockCount) + uint64_t{BlockSize} * blockCount;
}
// Where table slot `slot` and data block `block` start.
inline constexpr uint64_t slotOffset(uint64_t blockCount, uint64_t slot) {
  return tableStart(blockCount) + slot * FileEntrySize;
}
inline constexpr uint64_t blockOffset(uint64_t dataOffset, uint32_t block) {
  return dataOffset + uint64_t{BlockSize} * block;
}
// Blocks for a request in kB: every started 4 kB gives one block.
inline constexpr uint64_t blocksForDiskSize(uint64_t diskSizeKb) {
  return (diskSizeKb * 1024 + BlockSize - 1) / BlockSize;
}
// Blocks a file of `size` bytes owns: at least one, even when empty.
inline constexpr uint64_t blocksForFile(uint64_t size) {
  return size == 0 ? 1 : (size + BlockPayload - 1) / BlockPayload;
}
inline constexpr uint32_t lastBlockBytesFor(uint32_t size) {
  return static_cast<uint32_t>(size - uint64_t{BlockPayload} * (blocksForFile(size) - 1));
}

static_assert(imageBytes(1) == 4141);
static_assert(dataOffsetFor(256) == 8236);
static_assert(imageBytes(MaxBlockCount) <= 0xFFFFFFFFull);
static_assert(imageBytes(MaxBlockCount + 1) > 0xFFFFFFFFull);

// ---- block bitmap ----------------------------------------------------------
// Block k is bit k % 8 of bitmap byte k / 8, least significant bit first.

inline constexpr uint64_t bitmapByteOf(uint32_t block) { return block / 8; }
inline constexpr unsigned char bitmapMask(uint32_t block) {
  return static_cast<unsigned char>(1u << (block % 8));
}
// The bits of bitmap byte `byte` that stand for blocks: all eight but in the
// last byte of a count that is not a multiple of 8.
inline constexpr unsigned blockBitsOf(uint64_t byte, uint64_t blockCount) {
  uint64_t blocks = blockCount - byte * 8;
  return blocks >= 8 ? 0xFFu : (1u << blocks) - 1;
}
inline bool testBit(const unsigned char* bitmap, uint32_t block) {
  return bitmap[bitmapByteOf(block)] & bitmapMask(block);
}
inline void setBit(unsigned char* bitmap, uint32_t block) {
  bitmap[bitmapByteOf(block)] |= bitmapMask(block);
}
inline void clearBit(unsigned char* bitmap, uint32_t block) {
  bitmap[bitmapByteOf(block)] &= static_cast<unsigned char>(~bitmapMask(block));
}

// ---- header and file entry ------------------------------------------------

struct Header {
  uint32_t blockCount = 0;
  uint32_t dataOffset = 0;
  uint32_t tableEnd = 0;
};

inline Header decodeHeader(const unsigned char* src) {
  return {decodeU32(src + BlockCountOffset), decodeU32(src + DataOffsetOffset),
          decodeU32(src + TableEndOffset)};
}
inline void encodeHeader(unsigned char* dst, const Header& h) {
  encodeU32(dst + BlockCountOffset, h.blockCount);
  encodeU32(dst + DataOffsetOffset, h.dataOffset);
  encodeU32(dst + TableEndOffset, h.tableEnd);
}

// The rules a header must keep before anything else in the image is read:
// every offset is derived from blockCount, and the file must be long enough.
enum class HeaderRule {
  LengthHoldsHeader,  // value: the file's length; expected: HeaderSize
  BlockCountFits,     // value: blockCount; expected: MaxBlockCount
  DataOffsetDerived,  // value: dataOffset; expected: the one blockCount gives
  LengthHoldsBlocks,  // value: the file's length; expected: imageBytes(blockCount)
  TableEndInTable,    // value: tableEnd; expected: tableStart (the end is dataOffset)
  TableEndOnSlot,     // value: tableEnd; expected: tableStart
};

struct HeaderFault {
  HeaderRule rule = HeaderRule::LengthHoldsHeader;
  uint64_t value = 0;
  uint64_t expected = 0;
};

// The rules a header read from a file `length` bytes long breaks, the first
// broken one first. Rules that cannot be judged once an earlier one fails
// (a blockCount too large for any geometry, a file too short for a header)
// are not judged.
struct HeaderVerdict {
  HeaderFault faults[3];
  int count = 0;
  bool sound() const { return count == 0; }
  const HeaderFault& first() const { return faults[0]; }
};

inline HeaderVerdict judgeHeader(uint64_t length, const Header& h) {
  HeaderVerdict v;
  auto broken = [&v](HeaderRule r, uint64_t value, uint64_t expected) {
    v.faults[v.count++] = {r, value, expected};
  };
  if (length < HeaderSize) {
    broken(HeaderRule::LengthHoldsHeader, length, HeaderSize);
    return v;
  }
  if (h.blockCount > MaxBlockCount) {
    broken(HeaderRule::BlockCountFits, h.blockCount, MaxBlockCount);
    return v;
  }
  // Derived sizes are taken in 64 bits, so no field can wrap them.
  uint64_t start = tableStart(h.blockCount), end = dataOffsetFor(h.blockCount);
  if (h.dataOffset != end) broken(HeaderRule::DataOffsetDerived, h.dataOffset, end);
  if (length < imageBytes(h.blockCount))
    broken(HeaderRule::LengthHoldsBlocks, length, imageBytes(h.blockCount));
  if (h.tableEnd < start || h.tableEnd > end)
    broken(HeaderRule::TableEndInTable, h.tableEnd, start);
  else if ((h.tableEnd - start) % FileEntrySize != 0)
    broken(HeaderRule::TableEndOnSlot, h.tableEnd, start);
  return v;
}

struct FileEntry {
  uint32_t firstBlock = 0;
  uint32_t fileSize = 0;
  uint32_t lastBlockBytes = 0;
  unsigned char name[NameFieldSize] = {};

  // The stored name: the bytes before the NUL, or the whole field when a
  // damaged image holds no NUL in it.
  std::string_view nameView() const {
    const void* nul = std::memchr(name, 0, NameFieldSize);
    size_t len = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - name)
                     : NameFieldSize;
    return {reinterpret_cast<const char*>(name), len};
  }
  bool hasName(std::string_view wanted) const { return nameView() == wanted; }
};

// Whether an entry's own fields could describe a file of an image of
// `blockCount` blocks: a name that ends within its field, a first block in
// range, and a last block holding what the size leaves for it. Its chain
// and its name's uniqueness are the image's to judge.
inline bool judgeEntry(uint32_t blockCount, const FileEntry& e) {
  return e.nameView().size() < NameFieldSize && e.firstBlock < blockCount &&
         e.lastBlockBytes == lastBlockBytesFor(e.fileSize);
}

inline FileEntry decodeEntry(const unsigned char* src) {
  FileEntry e;
  e.firstBlock = decodeU32(src + FirstBlockField);
  e.fileSize = decodeU32(src + FileSizeField);
  e.lastBlockBytes = decodeU32(src + LastBlockBytesField);
  std::memcpy(e.name, src + NameField, NameFieldSize);
  return e;
}
inline void encodeEntry(unsigned char* dst, const FileEntry& e) {
  encodeU32(dst + FirstBlockField, e.firstBlock);
  encodeU32(dst + FileSizeField, e.fileSize);
  encodeU32(dst + LastBlockBytesField, e.lastBlockBytes);
  std::memcpy(dst + NameField, e.name, NameFieldSize);
}

// A new entry; the name bytes after the NUL are zero. `name` must fit.
inline FileEntry makeEntry(std::string_view name, uint32_t firstBlock, uint32_t fileSize) {
  FileEntry e;
  e.firstBlock = firstBlock;
  e.fileSize = fileSize;
  e.lastBlockBytes = lastBlockBytesFor(fileSize);
  std::memcpy(e.name, name.data(), name.size() < MaxNameLength ? name.size() : MaxNameLength);
  return e;
}

}  // namespace korvane
