// A fuzzed script of operations on a fresh image, held to a model: the
// stored files in table order, each with its bytes. The model foretells
// every result; at the end the image checks clean, lists the model's files
// in its order, and every file reads back.
//
// Input: one byte for the image size, then operations of 1 to 5 bytes:
//   op % 5 == 0  store   name, size (2 bytes), pattern
//   op % 5 == 1  fetch   name
//   op % 5 == 2  remove  name
//   op % 5 == 3  status
//   op % 5 == 4  listing

#include "tests/judge.h"

using namespace korvane;
using namespace korvane::test;

// Names that differ in case, in length up to the longest, and the empty name.
constexpr const char* Names[] = {"a", "b", "A", "a.txt", "", "x y", "nineteen-characters",
                                 "nineteen-character"};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cout.rdbuf(nullptr), std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  auto byte = [&]() -> unsigned { return data < end ? *data++ : 0; };
  MemEnv env;
  Geometry g;
  // 0 to 40 kB: up to 10 blocks, so a few files fill the image.
  MEM_CHECK(makeImage(env, "d.img", byte() % 41, &g).ok() && env.get("d.img")->size() == g.imageBytes);
  std::vector<std::pair<std::string, Bytes>> model;
  uint64_t used = 0;
  while (data < end) {
    unsigned op = byte() % 5;
    std::string name = op <= 2 ? Names[byte() % std::size(Names)] : "";
    auto it = std::find_if(model.begin(), model.end(), [&](const auto& f) { return f.first == name; });
    Status s;
    if (op == 0) {
      // Up to four blocks and a bit, so stores run out of room.
      unsigned lo = byte(), hi = byte();
      Bytes content = pattern((lo | hi << 8) % (4 * BlockPayload + 2), byte());
      env.put("in", content);
      s = storeFile(env, name, "d.img", "in");
      MEM_CHECK(s.code == (g.blockCount - used < blocksForFile(content.size()) ? Error::NoSpace
                           : it != model.end()                                ? Error::Exists
                                                                              : Error::Ok));
      if (s.ok()) model.emplace_back(name, content), used += blocksForFile(content.size());
    } else if (op == 1) {
      Bytes got;
      s = fetchBytes(env, "d.img", name, &got);
      MEM_CHECK(it == model.end() ? s.code == Error::NotStored && got.empty() : s.ok() && got == it->second);
    } else if (op == 2) {
      MEM_CHECK(eraseAll(env, "d.img", name).code == (it == model.end() ? Error::NotStored : Error::Ok));
      if (it != model.end()) used -= blocksForFile(it->second.size()), model.erase(it);
    } else if (op == 3) {
      StatReport r;
      MEM_CHECK(statImage(env, "d.img", &r).ok() && r.blockCount == g.blockCount && r.usedBlocks == used);
    } else {
      std::vector<std::string> names = listed(env, "d.img");
      MEM_CHECK(names.size() == model.size());
      for (size_t i = 0; i < names.size(); ++i) MEM_CHECK(names[i] == model[i].first);
    }
  }
  Files files(model.begin(), model.end());
  MEM_CHECK(judge(env, "d.img", Look::Clean, &files).empty());
  return 0;
}
