// Damaged images, built byte by byte, against every operation. Each must be
// refused as Damaged or give a sound result, end quickly, and never grow
// the image; the read-only operations and every refusal leave it as it was.
#include <gtest/gtest.h>

#include <chrono>

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
using test::putU32;

// 4 blocks: bitmap at 12, slots at 13, 45, 77, 109, dataOffset 141, 16525
// bytes. "f" is 5000 bytes in blocks 0 -> 1 (links at 4233 and 8329), "g"
// 10 bytes in block 2 (link at 12425). Bitmap 0x07, tableEnd 77.
Bytes soundImage() {
  Bytes img = test::emptyImage(4);
  test::addFile(img, "f", test::patternBytes(5000, 1), {0, 1});
  test::addFile(img, "g", test::bytesOf("0123456789"), {2});
  return img;
}

// What each operation may give, in the order stat, list, fetch, store,
// remove: D Damaged, K Ok, N NotStored, S NoSpace, A Ok or Damaged.
struct Hostile {
  const char* what;
  void (*damage)(Bytes&);
  const char* expect;
  std::string target = "f";  // the stored name that fetch and remove ask for
  int used = -1;             // blocks statImage counts, when it succeeds
};

const Hostile Cases[] = {
    // ---- the header disagrees with the file: nothing may be trusted
    {"empty file", [](Bytes& b) { b.clear(); }, "DDDDD"},
    {"three bytes", [](Bytes& b) { b.resize(3); }, "DDDDD"},
    {"cut inside the table", [](Bytes& b) { b.resize(60); }, "DDDDD"},
    {"cut inside the data", [](Bytes& b) { b.resize(141 + 4096 + 100); }, "DDDDD"},
    {"last link cut short", [](Bytes& b) { b.resize(16524); }, "DDDDD"},
    {"blockCount 0xFFFFFFFF", [](Bytes& b) { putU32(b, 0, 0xFFFFFFFF); }, "DDDDD"},
    {"5 blocks claimed, 4 present",
     [](Bytes& b) {
       putU32(b, 0, 5);
       putU32(b, 4, 13 + 5 * 32);
     },
     "DDDDD"},
    {"tableEnd beyond the file", [](Bytes& b) { putU32(b, 8, 0x00100000); }, "DDDDD"},
    {"tableEnd below tableStart", [](Bytes& b) { putU32(b, 8, 12); }, "DDDDD"},
    {"tableEnd off a slot boundary", [](Bytes& b) { putU32(b, 8, 78); }, "DDDDD"},
    {"dataOffset absurd", [](Bytes& b) { putU32(b, 4, 0xFFFFFFF0); }, "DDDDD"},
    {"dataOffset off by one", [](Bytes& b) { putU32(b, 4, 142); }, "DDDDD"},

    // ---- one entry's chain is broken: only that file is refused
    {"firstBlock past the last block", [](Bytes& b) { putU32(b, 13, 4); }, "KKDKD"},
    {"firstBlock EndOfChain", [](Bytes& b) { putU32(b, 13, 0xFFFFFFFF); }, "KKDKD"},
    {"fileSize far beyond its chain", [](Bytes& b) { putU32(b, 17, 0xFFFFFFFF); }, "KKDKD"},
    {"fileSize one block beyond its chain", [](Bytes& b) { putU32(b, 17, 8185); }, "KKDKD"},
    {"fileSize shorter than its chain", [](Bytes& b) { putU32(b, 17, 100); }, "KKDKD"},
    {"chain loops back to its start",
     [](Bytes& b) {
       putU32(b, 17, 4 * 4092);  // four blocks claimed: 0 -> 1 -> 0 -> 1
       putU32(b, 8329, 0);
     },
     "KKDKD"},
    {"block links to itself", [](Bytes& b) { putU32(b, 4233, 0); }, "KKDKD"},
    {"link one past the last block", [](Bytes& b) { putU32(b, 4233, 4); }, "KKDKD"},
    {"link far past the file", [](Bytes& b) { putU32(b, 4233, 0x00100000); }, "KKDKD"},
    {"last block lacks EndOfChain", [](Bytes& b) { putU32(b, 8329, 3); }, "KKDKD"},

    // ---- the chains are sound but disagree with each other or the bitmap
    // Erasing "g" may free block 1 of "f": nothing short of walking every
    // chain could tell.
    {"two entries share a block", [](Bytes& b) { putU32(b, 45, 1); }, "KKKKA", "g"},
    {"stored blocks marked free", [](Bytes& b) { b[12] = 0x00; }, "KKKKK", "f", 0},
    {"bitmap claims an unowned block", [](Bytes& b) { b[12] = 0x0F; }, "KKKSK", "f", 4},
    {"spare bitmap bits set", [](Bytes& b) { b[12] = 0xF7; }, "KKKKK", "f", 3},
    {"table full with a block free",
     [](Bytes& b) {
       test::putEntry(b, 77, 2, 10, 10, "h");
       test::putEntry(b, 109, 2, 10, 10, "i");
       putU32(b, 8, 141);
     },
     "KKKDK"},
    {"name without NUL", [](Bytes& b) { std::fill_n(b.begin() + 25, 20, 'n'); }, "KKKKK",
     std::string(20, 'n')},
    {"no blocks at all", [](Bytes& b) { b = {0, 0, 0, 0, 12, 0, 0, 0, 12, 0, 0, 0}; }, "KKNSN",
     "f", 0},
};

bool allowed(char expect, Error got) {
  switch (expect) {
    case 'D': return got == Error::Damaged;
    case 'K': return got == Error::Ok;
    case 'N': return got == Error::NotStored;
    case 'S': return got == Error::NoSpace;
    case 'A': return got == Error::Ok || got == Error::Damaged;
  }
  return false;
}

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override { test::writeBytes(host_, test::bytesOf("new file!!")); }

  Status run(int op, const std::string& target, StatReport* report) {
    Env& env = Env::host();
    switch (op) {
      case 0: return statImage(env, image_.c_str(), report);
      case 1: return listImage(env, image_.c_str(), [] {}, [](const FileEntry&) {});
      case 2: return fetchFile(env, image_.c_str(), out_.c_str(), target);
      case 3: return storeFile(env, "new", image_.c_str(), host_.c_str());
      default: return test::removeAll(env, image_.c_str(), target);
    }
  }

  test::TempDir dir_;
  std::string image_ = dir_.file("bad.img"), host_ = dir_.file("new.bin"),
              out_ = dir_.file("out.bin");
};

TEST_F(HostileTest, EveryOperationOnEveryDamage) {
  const char* const ops[] = {"stat", "list", "fetch", "store", "remove"};
  for (const Hostile& c : Cases) {
    Bytes bad = soundImage();
    c.damage(bad);
    for (int op = 0; op < 5; ++op) {
      SCOPED_TRACE(std::string(c.what) + ": " + ops[op]);
      test::writeBytes(image_, bad);
      std::filesystem::remove(out_);
      StatReport report;
      auto start = std::chrono::steady_clock::now();
      Status s = run(op, c.target, &report);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
      EXPECT_TRUE(allowed(c.expect[op], s.code)) << "got Error " << static_cast<int>(s.code);
      Bytes after = test::readBytes(image_);
      EXPECT_EQ(after.size(), bad.size());
      if (op < 3 || !s.ok()) {
        EXPECT_EQ(test::firstDiff(after, bad), "");
      }
      if (op == 2 && !s.ok()) {
        EXPECT_FALSE(std::filesystem::exists(out_));
      }
      if (op == 0 && s.ok() && c.used >= 0) {
        EXPECT_EQ(report.usedBlocks, uint32_t(c.used));
      }
    }
  }
}

// The operations tell the damage in one line on standard error, and print
// nothing else: no listing header, no success message.
TEST_F(HostileTest, OperationsReportDamageInOneLineEach) {
  for (const Hostile& c : Cases) {
    if (std::string_view(c.expect) != "DDDDD") continue;
    Bytes bad = soundImage();
    c.damage(bad);
    test::writeBytes(image_, bad);
    test::CaptureOutput out;
    showStat(image_.c_str());
    showFiles(image_.c_str());
    readFile(image_.c_str(), out_.c_str(), "f");
    writeFile("new", image_.c_str(), host_.c_str());
    eraseFile(image_.c_str(), "f");
    EXPECT_EQ(out.out(), "") << c.what;
    EXPECT_EQ(out.errLines(), 5) << c.what << "\n"
                                                                       << out.err();
    EXPECT_EQ(test::firstDiff(test::readBytes(image_), bad), "") << c.what;
    EXPECT_FALSE(std::filesystem::exists(out_)) << c.what;
  }
}

TEST_F(HostileTest, NameWithoutNulIsListedAsItsTwentyBytes) {
  Bytes bad = soundImage();
  std::fill_n(bad.begin() + 25, 20, 'n');  // g's firstBlock 2 follows at 45
  test::writeBytes(image_, bad);
  std::vector<std::string> names;
  ASSERT_TRUE(listImage(Env::host(), image_.c_str(), [] {}, [&](const FileEntry& e) {
                names.emplace_back(e.nameView());
              }).ok());
  EXPECT_EQ(names, (std::vector<std::string>{std::string(20, 'n'), "g"}));
  Bytes back;
  ASSERT_TRUE(fetchFile(Env::host(), image_.c_str(), out_.c_str(), names[0]).ok());
  EXPECT_EQ(test::readBytes(out_), test::patternBytes(5000, 1));
}

}  // namespace
}  // namespace korvane
