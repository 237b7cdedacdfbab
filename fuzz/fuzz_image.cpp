// Fuzzed image bytes against every operation, then the checker. Each call
// ends with a result, never a crash, a read or write outside the image, or
// a longer image (the env stops the run); a refusal leaves the image as it
// was; a store or an erase changes only what it must; a repair leaves an
// image that checks clean and whose every file reads back. The unit tests'
// damaged images are put through the same at start.
#include <iostream>

#include "image/store.h"
#include "ops/ops.h"
#include "tests/images.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

bool bit(const Bytes& img, uint64_t b) { return img[HeaderSize + b / 8] >> b % 8 & 1; }

// Only tableEnd, the table slots [from, to), real blocks' bits (set by a
// store, cleared by an erase) and data in the blocks a store took, or zeros
// in free blocks for an erase, differ.
void changedOnly(const Bytes& before, const Bytes& after, uint64_t from, uint64_t to, bool store) {
  Header h = decodeHeader(before.data());
  for (uint64_t b = 0; b < bitmapBytes(h.blockCount) * 8; ++b)
    MEM_CHECK(bit(before, b) == bit(after, b) || (b < h.blockCount && bit(after, b) == store));
  for (uint64_t o = 0; o < before.size(); ++o) {
    uint64_t b = (o - h.dataOffset) / BlockSize;
    bool block = o >= h.dataOffset && b < h.blockCount &&
                 (store ? !bit(before, b) && bit(after, b) : !bit(after, b) && after[o] == 0);
    MEM_CHECK(before[o] == after[o] || (o >= TableEndOffset && o < tableStart(h.blockCount)) ||
              (o >= from && o < to) || block);
  }
}

void run(const Bytes& bytes) {
  MemEnv env;
  env.put("d.img", bytes);
  showStatus("d.img", env);
  StatReport r;
  std::vector<std::string> rows;
  Status st = statImage(env, "d.img", &r);
  Status ls = listImage(env, "d.img", [] {}, [&](const FileEntry& e) { rows.emplace_back(e.nameView()); });
  MEM_CHECK(st.ok() == ls.ok() && *env.get("d.img") == bytes);
  bool sound = st.ok();
  MEM_CHECK(!sound || (r.usedBlocks <= r.blockCount && rows.size() <= r.blockCount));
  Header h = decodeHeader(bytes.size() >= HeaderSize ? bytes.data() : Bytes(12).data());
  auto has = [&](const std::string& n) { return std::find(rows.begin(), rows.end(), n) != rows.end(); };

  std::string name = rows.empty() ? "a.txt" : rows[0];
  Status s = fetchFile(env, "d.img", "out", name);
  Error refusal = !sound ? Error::Damaged : !has(name) ? Error::NotStored : Error::Damaged;
  MEM_CHECK((s.ok() && has(name)) || s.code == refusal);
  MEM_CHECK(s.ok() == (env.get("out") != nullptr) && *env.get("d.img") == bytes);

  s = eraseAll(env, "d.img", name);
  MEM_CHECK((s.ok() && has(name)) || s.code == refusal);
  MEM_CHECK(s.ok() || *env.get("d.img") == bytes);
  if (s.ok()) {
    std::vector<std::string> now = listed(env, "d.img");
    MEM_CHECK(now == std::vector<std::string>(rows.begin() + 1, rows.end()));
    changedOnly(bytes, *env.get("d.img"), tableStart(h.blockCount), h.tableEnd, false);
  }

  Bytes content = pattern(bytes.empty() ? 0 : bytes.back() % 5 * 3000, 1);
  env.put("d.img", bytes), env.put("in", content);
  s = storeFile(env, "fuzzed.bin", "d.img", "in");
  Error want = !sound ? Error::Damaged
               : r.blockCount - r.usedBlocks < blocksForFile(content.size()) ? Error::NoSpace
               : has("fuzzed.bin") ? Error::Exists
               : rows.size() == r.blockCount ? Error::Damaged : Error::Ok;
  MEM_CHECK(s.code == want && (s.ok() || *env.get("d.img") == bytes));
  Bytes back;
  MEM_CHECK(!s.ok() || (fetchBytes(env, "d.img", "fuzzed.bin", &back).ok() && back == content));
  if (s.ok()) changedOnly(bytes, *env.get("d.img"), h.tableEnd, h.tableEnd + FileEntrySize, true);

  env.put("d.img", bytes);
  CheckSummary sum;
  (void)problems(env, "d.img", false, &sum);
  MEM_CHECK(!sum.headerSound || judge(env, "d.img", Look::Repaired, nullptr).empty());
}

}  // namespace
}  // namespace korvane::test

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cout.rdbuf(nullptr), std::cerr.rdbuf(nullptr);  // the operations print
  for (const auto& c : korvane::test::damagedImages()) korvane::test::run(build(c).bytes);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::test::run(korvane::test::Bytes(data, data + size));
  return 0;
}
