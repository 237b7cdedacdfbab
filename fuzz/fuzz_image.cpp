// Fuzzed image bytes: status, listing, read, erase and write on them. Whatever
// the bytes, each call must end with a result, never a crash or a read or
// write outside the image; a refused write leaves the image byte for byte as
// it was; a completed one changes exactly what it should.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz/harness.h"
#include "ops/ops.h"

namespace korvane::fuzz {
namespace {

constexpr const char* ImagePath = "image";
constexpr const char* HostIn = "host.in";
constexpr const char* HostOut = "host.out";
constexpr std::string_view StoredName = "fuzzed.bin";
// A name the seed images hold, so fetching it reaches a chain walk.
constexpr std::string_view FixedName = "a.txt";

using Bytes = std::vector<unsigned char>;

const Bytes& image(MemEnv& env) { return *env.get(ImagePath); }

bool holds(const std::vector<FileEntry>& rows, std::string_view name) {
  for (const FileEntry& e : rows)
    if (e.hasName(name)) return true;
  return false;
}

bool bitSet(const Bytes& img, uint32_t block) { return testBit(img.data() + HeaderSize, block); }

// The blocks of `e`'s chain, followed in `img` through the links. The image
// code has already taken the chain as sound, so it must be: as many blocks
// as the size needs, each inside the image and met once, then EndOfChain.
std::vector<uint32_t> chainOf(const Bytes& img, const FileEntry& e) {
  Header h = decodeHeader(img.data());
  std::vector<uint32_t> blocks;
  std::vector<bool> seen(h.blockCount);
  uint32_t b = e.firstBlock;
  for (uint64_t n = blocksForFile(e.fileSize); n > 0; --n) {
    FUZZ_CHECK(b < h.blockCount && !seen[b]);
    seen[b] = true;
    blocks.push_back(b);
    b = decodeU32(img.data() + h.dataOffset + uint64_t{BlockSize} * b + BlockPayload);
  }
  FUZZ_CHECK(b == EndOfChain);
  return blocks;
}

// The file's bytes, gathered from the payloads of its chain.
Bytes payloadOf(const Bytes& img, const FileEntry& e) {
  uint32_t dataOffset = decodeHeader(img.data()).dataOffset;
  Bytes out;
  for (uint32_t b : chainOf(img, e)) {
    auto at = img.begin() + static_cast<std::ptrdiff_t>(dataOffset + uint64_t{BlockSize} * b);
    out.insert(out.end(), at, at + BlockPayload);
  }
  out.resize(e.fileSize);
  return out;
}

// Every byte that differs between `before` and `after` lies in tableEnd,
// the bitmap, table bytes [tableFrom, tableTo), or a block `dataOk` allows.
template <class DataOk>
void changedOnly(const Bytes& before, const Bytes& after, uint64_t tableFrom, uint64_t tableTo,
                 DataOk dataOk) {
  Header h = decodeHeader(before.data());
  uint64_t bitmapEnd = tableStart(h.blockCount);
  for (size_t o = 0; o < before.size(); ++o) {
    // Equal stretches are passed over at once, for speed.
    if (o % 64 == 0 && o + 64 <= before.size() && std::memcmp(&before[o], &after[o], 64) == 0) {
      o += 63;
      continue;
    }
    if (before[o] == after[o]) continue;
    if (o >= HeaderSize && o < bitmapEnd) {
      // Only bits that stand for a block.
      uint64_t blocksHere = std::min<uint64_t>(8, h.blockCount - (o - HeaderSize) * 8);
      FUZZ_CHECK(((before[o] ^ after[o]) >> blocksHere) == 0);
      continue;
    }
    bool ok = (o >= TableEndOffset && o < HeaderSize) || (o >= tableFrom && o < tableTo) ||
              (o >= h.dataOffset && o < imageBytes(h.blockCount) &&
               dataOk(static_cast<uint32_t>((o - h.dataOffset) / BlockSize)));
    FUZZ_CHECK(ok);
  }
}

// Status and listing open the image alike, so they agree on whether it is
// sound; what they report must fit together.
bool readAll(MemEnv& env, StatReport* r, std::vector<FileEntry>* rows) {
  Status st = statImage(env, ImagePath, r);
  Status ls = listRows(env, ImagePath, rows);
  FUZZ_CHECK(st.ok() == ls.ok());
  if (!st.ok()) return false;
  FUZZ_CHECK(r->usedBlocks <= r->blockCount);
  FUZZ_CHECK(r->bitmap.size() == bitmapBytes(r->blockCount));
  FUZZ_CHECK(rows->size() <= r->blockCount);
  return true;
}

// A fetch either copies the file's bytes or leaves no host file.
void fetch(MemEnv& env, std::string_view name, const std::vector<FileEntry>& rows) {
  Status s = fetchFile(env, ImagePath, HostOut, name);
  const Bytes* out = env.get(HostOut);
  if (!holds(rows, name)) {
    FUZZ_CHECK(s.code == Error::NotStored && out == nullptr);
    return;
  }
  FUZZ_CHECK(s.ok() || s.code == Error::Damaged);
  if (!s.ok()) {
    FUZZ_CHECK(out == nullptr);
    return;
  }
  const FileEntry& e = *std::find_if(rows.begin(), rows.end(),
                                     [&](const FileEntry& x) { return x.hasName(name); });
  FUZZ_CHECK(out != nullptr && *out == payloadOf(image(env), e));
  (void)env.remove(HostOut);
}

// Erases the first entry: afterwards the table is the same minus that slot.
void erase(MemEnv& env, const std::vector<FileEntry>& rows) {
  Bytes before = image(env);
  StatReport r0;
  FUZZ_CHECK(statImage(env, ImagePath, &r0).ok());
  Status s = removeAll(env, ImagePath, rows[0].nameView());
  FUZZ_CHECK(image(env).size() == before.size());
  if (!s.ok()) {
    FUZZ_CHECK(s.code == Error::Damaged);
    FUZZ_CHECK(image(env) == before);
    return;
  }
  StatReport r;
  std::vector<FileEntry> after;
  FUZZ_CHECK(readAll(env, &r, &after));
  FUZZ_CHECK(after.size() + 1 == rows.size());
  for (size_t i = 0; i < after.size(); ++i) FUZZ_CHECK(sameEntry(after[i], rows[i + 1]));
  FUZZ_CHECK(r.usedBlocks <= r0.usedBlocks);

  // Only the erased chain's blocks changed: zeroed and marked free. No
  // other bit was cleared, and none was set. When another entry starts
  // inside the chain, the blocks stay as they are, for that entry.
  const Bytes& now = image(env);
  std::vector<uint32_t> chain = chainOf(before, rows[0]);
  std::vector<bool> inChain(r.blockCount);
  for (uint32_t b : chain) inChain[b] = true;
  if (std::any_of(rows.begin() + 1, rows.end(), [&](const FileEntry& e) {
        return e.firstBlock < r.blockCount && inChain[e.firstBlock];
      }))
    inChain.assign(r.blockCount, false);
  Header h = decodeHeader(before.data());
  for (uint32_t b = 0; b < r.blockCount; ++b) {
    FUZZ_CHECK(bitSet(now, b) == (bitSet(before, b) && !inChain[b]));
    if (!inChain[b]) continue;
    uint64_t at = h.dataOffset + uint64_t{BlockSize} * b;
    FUZZ_CHECK(allZero(now.data() + at, BlockSize));
  }
  changedOnly(before, now, tableStart(h.blockCount), h.tableEnd,
              [&](uint32_t b) { return bool(inChain[b]); });
}

// Stores a small host file. The outcome is foretold by the free count, the
// names and the table's room; a stored file reads back byte for byte.
void store(MemEnv& env, size_t size) {
  Bytes content(size);
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<unsigned char>(i * 7 + 1);
  env.put(HostIn, content);
  StatReport r0;
  std::vector<FileEntry> rows;
  FUZZ_CHECK(readAll(env, &r0, &rows));
  Bytes before = image(env);

  Status s = storeFile(env, StoredName, ImagePath, HostIn);
  FUZZ_CHECK(image(env).size() == before.size());
  uint32_t need = static_cast<uint32_t>(blocksForFile(size));
  Error expect = r0.blockCount - r0.usedBlocks < need ? Error::NoSpace
                 : holds(rows, StoredName)            ? Error::Exists
                 : rows.size() == r0.blockCount       ? Error::Damaged
                                                      : Error::Ok;
  FUZZ_CHECK(s.code == expect);
  if (!s.ok()) {
    FUZZ_CHECK(image(env) == before);
    return;
  }
  StatReport r;
  std::vector<FileEntry> after;
  FUZZ_CHECK(readAll(env, &r, &after));
  FUZZ_CHECK(after.size() == rows.size() + 1);
  for (size_t i = 0; i < rows.size(); ++i) FUZZ_CHECK(sameEntry(after[i], rows[i]));
  FUZZ_CHECK(after.back().hasName(StoredName) && after.back().fileSize == size);
  FUZZ_CHECK(r.usedBlocks == r0.usedBlocks + need);
  const Bytes& now = image(env);
  FUZZ_CHECK(payloadOf(now, after.back()) == content);

  // The new chain is exactly the blocks that turned used, its last block's
  // tail is zero, and nothing but those blocks, the new slot and tableEnd
  // changed.
  std::vector<uint32_t> chain = chainOf(now, after.back());
  std::vector<bool> inChain(r.blockCount);
  for (uint32_t b : chain) inChain[b] = true;
  for (uint32_t b = 0; b < r.blockCount; ++b)
    FUZZ_CHECK(bitSet(now, b) == (bitSet(before, b) || inChain[b]));
  for (uint32_t b : chain) FUZZ_CHECK(!bitSet(before, b));
  uint64_t last = decodeHeader(now.data()).dataOffset + uint64_t{BlockSize} * chain.back();
  uint32_t tail = lastBlockBytesFor(static_cast<uint32_t>(size));
  FUZZ_CHECK(allZero(now.data() + last + tail, BlockPayload - tail));
  uint64_t slot = decodeHeader(before.data()).tableEnd;
  changedOnly(before, now, slot, slot + FileEntrySize,
              [&](uint32_t b) { return !bitSet(before, b) && bitSet(now, b); });
}

}  // namespace
}  // namespace korvane::fuzz

using namespace korvane;
using namespace korvane::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemEnv env;
  env.put(ImagePath, Bytes(data, data + size));
  // The printing operations, for their handling of what they are given.
  showStat(ImagePath, env);
  showFiles(ImagePath, env);

  StatReport r;
  std::vector<FileEntry> rows;
  if (!readAll(env, &r, &rows)) {
    // An image refused at open is refused by every operation, untouched.
    FUZZ_CHECK(fetchFile(env, ImagePath, HostOut, FixedName).code == Error::Damaged);
    FUZZ_CHECK(removeAll(env, ImagePath, FixedName).code == Error::Damaged);
    env.put(HostIn, {});
    FUZZ_CHECK(storeFile(env, StoredName, ImagePath, HostIn).code == Error::Damaged);
    FUZZ_CHECK(image(env) == Bytes(data, data + size));
    return 0;
  }
  if (!rows.empty()) fetch(env, rows[0].nameView(), rows);
  if (rows.empty() || !rows[0].hasName(FixedName)) fetch(env, FixedName, rows);
  if (!rows.empty()) erase(env, rows);
  // The input's last byte picks the size: empty, one byte, one full block,
  // just over a block, or three blocks.
  static constexpr size_t Sizes[] = {0, 1, BlockPayload, BlockPayload + 1, 3 * BlockPayload - 5};
  store(env, Sizes[size == 0 ? 0 : data[size - 1] % 5]);
  return 0;
}
