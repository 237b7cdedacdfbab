// The checker's promise over random damage: change one bit or one byte of
// an image holding fragmented files, and one repair leaves a clean image in
// which every file korvane could read before still reads the same, and most
// files the damage had made unreadable read whole again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "image/check.h"
#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every file the image lists that reads back, with its bytes.
Files readable(const std::string& img, const fs::path& dir) {
  Files out;
  std::vector<std::string> names;
  (void)listImage(Env::host(), img.c_str(), [] {}, [&](const FileEntry& e) {
    names.emplace_back(e.nameView());
  });
  fs::path copy = dir / "copy";
  for (const std::string& name : names) {
    fs::remove(copy);
    if (fetchFile(Env::host(), img.c_str(), copy.c_str(), name).ok()) out[name] = slurp(copy);
  }
  return out;
}

// An image of `blocks` blocks whose files were stored, some erased, and
// stored again, so their chains run around each other.
void build(std::mt19937& rng, uint32_t blocks, const std::string& img, const fs::path& dir) {
  Geometry g;
  ASSERT_TRUE(makeImage(Env::host(), img.c_str(), blocks * 4, &g).ok());
  fs::path src = dir / "src";
  for (int i = 0; i < 12; ++i) {
    std::string data(rng() % (3 * BlockPayload), '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::ofstream(src, std::ios::binary) << data;
    std::string name = "f" + std::to_string(i);
    (void)storeFile(Env::host(), name, img.c_str(), src.c_str());
    Status freed;
    if (rng() % 3 == 0) (void)removeFile(Env::host(), img.c_str(), "f" + std::to_string(i / 2), &freed);
  }
}

TEST(CheckProperty, OneDamageOneRepair) {
  // Memory-backed where there is one: every store and erase syncs.
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  fs::path dir = base / ("korvane-p-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string img = (dir / "d.img").string();
  int runs = 0, unclean = 0, lost = 0, broken = 0, back = 0;
  // A few hundred here; KORVANE_DAMAGE_RUNS asks for more.
  const char* more = std::getenv("KORVANE_DAMAGE_RUNS");
  uint32_t count = more ? static_cast<uint32_t>(std::strtoul(more, nullptr, 10)) : 300;
  const char* from = std::getenv("KORVANE_DAMAGE_FROM");
  for (uint32_t seed = from ? std::atoi(from) : 1; seed <= count; ++seed) {
    std::mt19937 rng(seed);
    const uint32_t sizes[] = {16, 40, 300};
    uint32_t blocks = sizes[seed % 3];
    build(rng, blocks, img, dir);
    Files before = readable(img, dir);
    // One bit or one byte of the header, the bitmap, the used table or the
    // links of the used blocks, each as likely.
    std::string raw = slurp(img);
    uint64_t start = 12 + (blocks + 7) / 8;
    uint64_t used = (raw[8] & 0xFFu) | (raw[9] & 0xFFu) << 8 | (raw[10] & 0xFFu) << 16;
    uint64_t data = start + 32 * uint64_t{blocks};
    uint64_t at = 0;
    switch (rng() % 4) {
      case 0: at = rng() % 12; break;
      case 1: at = 12 + rng() % (start - 12); break;
      case 2: at = start + rng() % (used - start + 32); break;
      default: at = data + uint64_t{BlockSize} * (rng() % blocks) + BlockPayload + rng() % 4;
    }
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(at));
    int old = f.get();
    int now = rng() % 2 ? old ^ (1 << (rng() % 8)) : static_cast<int>(rng() % 256);
    f.seekp(static_cast<std::streamoff>(at));
    f.put(static_cast<char>(now));
    f.close();
    Files damaged = readable(img, dir);
    CheckOptions repair;
    repair.repair = true;
    std::vector<Finding> findings;
    CheckSummary sum;
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), repair, &findings, &sum).ok()) << seed;
    std::vector<Finding> again;
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), {}, &again, &sum).ok()) << seed;
    ++runs;
    unclean += sum.problems != 0;
    EXPECT_EQ(sum.problems, 0u) << "seed " << seed << " at " << at;
    Files after = readable(img, dir);
    for (const auto& [name, data] : before) {
      bool wasReadable = damaged.count(name) && damaged[name] == data;
      bool isReadable = after.count(name) && after[name] == data;
      if (wasReadable && !isReadable) {
        ++lost;
        ADD_FAILURE() << "seed " << seed << " at " << at << ": lost " << name;
      }
      broken += !wasReadable;
      back += !wasReadable && isReadable;
    }
  }
  fs::remove_all(dir);
  std::cout << "damaged images: " << runs << ", readable files lost: " << lost
            << ", unclean after one repair: " << unclean << ", unreadable files brought back whole: "
            << back << "/" << broken << "\n";
}

}  // namespace
}  // namespace korvane
