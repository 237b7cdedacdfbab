// The checker's promise over random damage: change one bit or one byte of
// an image holding fragmented files, and one repair leaves a clean image in
// which every file korvane could read before still reads the same, and all
// but a few of the files the damage had made unreadable read whole again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/judge.h"

namespace korvane::test {
namespace {

// Every file the image lists that reads back, with its bytes.
Files readable(MemEnv& env) {
  Files out;
  for (const std::string& name : listed(env, "d.img"))
    if (Bytes b; fetchBytes(env, "d.img", name, &b).ok()) out[name] = b;
  return out;
}

// An image of `blocks` blocks whose files were stored, some erased, and
// stored again, so their chains run around each other.
void build(std::mt19937& rng, uint32_t blocks, MemEnv& env) {
  Geometry g;
  ASSERT_TRUE(makeImage(env, "d.img", blocks * 4, &g).ok());
  for (int i = 0; i < 12; ++i) {
    Bytes data(rng() % (3 * BlockPayload));
    for (auto& c : data) c = static_cast<unsigned char>(rng());
    env.put("src", data);
    (void)storeFile(env, "f" + std::to_string(i), "d.img", "src");
    if (rng() % 3 == 0) (void)eraseAll(env, "d.img", "f" + std::to_string(i / 2));
  }
}

TEST(CheckProperty, OneDamageOneRepair) {
  int broken = 0, back = 0;
  // A few hundred here; KORVANE_DAMAGE_RUNS asks for more.
  const char* more = std::getenv("KORVANE_DAMAGE_RUNS");
  uint32_t count = more ? static_cast<uint32_t>(std::strtoul(more, nullptr, 10)) : 300;
  const char* from = std::getenv("KORVANE_DAMAGE_FROM");
  for (uint32_t seed = from ? std::atoi(from) : 1; seed <= count; ++seed) {
    std::mt19937 rng(seed);
    const uint32_t sizes[] = {16, 40, 300};
    uint32_t blocks = sizes[seed % 3];
    MemEnv env;
    build(rng, blocks, env);
    Files before = readable(env);
    // One bit or one byte of the header, the bitmap, the used table or the
    // links of the used blocks, each as likely.
    Bytes& raw = *env.get("d.img");
    Disk d(blocks);  // where each part starts
    uint64_t start = d.slot(0), used = (raw[8] | raw[9] << 8 | raw[10] << 16) - start + 32, at = 0;
    switch (rng() % 4) {
      case 0: at = rng() % 12; break;
      case 1: at = 12 + rng() % (start - 12); break;
      case 2: at = start + rng() % used; break;
      default: at = d.block(rng() % blocks) + BlockPayload + rng() % 4;
    }
    raw[at] = rng() % 2 ? raw[at] ^ (1 << (rng() % 8)) : static_cast<unsigned char>(rng() % 256);
    std::string where = "seed " + std::to_string(seed) + " at " + std::to_string(at);
    Files damaged = readable(env);
    CheckSummary sum;
    EXPECT_EQ(problems(env, "d.img", true, &sum).find("check failed"), std::string::npos) << where;
    EXPECT_EQ(problems(env, "d.img", false, &sum), "") << where;
    Files after = readable(env);
    for (const auto& [name, data] : before) {
      bool wasReadable = damaged.count(name) && damaged[name] == data;
      bool isReadable = after.count(name) && after[name] == data;
      EXPECT_TRUE(isReadable || !wasReadable) << where << ": lost " << name;
      broken += !wasReadable;
      back += !wasReadable && isReadable;
    }
  }
  // A damaged name or size can leave a file no witness outvotes.
  EXPECT_GE(back * 100, broken * 98) << back << " of " << broken << " unreadable files brought back whole";
}

}  // namespace
}  // namespace korvane::test
