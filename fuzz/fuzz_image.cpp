// Fuzzed image bytes against every operation, then the checker, judged as
// the unit tests judge their damaged images, which are put through it too.

#include "tests/judge.h"

using namespace korvane::test;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cout.rdbuf(nullptr), std::cerr.rdbuf(nullptr);  // the operations print
  for (const Damaged& c : damagedImages())  // the images of a few blocks, as fuzzed ones are
    MEM_CHECK(c.blocks > 64 || everyOperation(build(c).bytes, c.ops, c.target, c.used).empty());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failed = everyOperation(Bytes(data, data + size));
  if (!failed.empty()) std::fprintf(stderr, "%s\n", failed.c_str());
  MEM_CHECK(failed.empty());
  return 0;
}
