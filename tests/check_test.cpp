// The checker's tests. A suite of broken images, each built byte by byte,
// whose reports are kept as data in tests/fsck/<case>.expect: the command is
// run with -n, -y and -n again, and its output and exit codes must match the
// file. After the repair every file the case says survives must read back
// byte for byte, and korvane must list, read and erase every file left.
// Then the crash loops: korvane's writes and the checker's own repair are
// cut short at every write, and the checker must mend what is left.
//
// Set KORVANE_FSCK_UPDATE=1 to rewrite the .expect files from the output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <set>

#include "image/check.h"
#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"
#include "tests/fault_env.h"
#include "tests/scenarios.h"
#include "tests/test_util.h"

namespace korvane {
namespace {

using test::Bytes;
using test::getU32;
using test::putU32;

constexpr uint32_t End = 0xFFFFFFFF;

// An image laid out by hand, with the files a repair must keep intact.
struct Disk {
  explicit Disk(uint32_t n) : bytes(test::emptyImage(n)), blocks(n) {}

  size_t tableStart() const { return 12 + (blocks + 7) / 8; }
  size_t blockAt(uint32_t k) const { return tableStart() + 32 * size_t{blocks} + 4096 * size_t{k}; }
  void mark(uint32_t k) { bytes[12 + k / 8] |= static_cast<unsigned char>(1u << (k % 8)); }
  void unmark(uint32_t k) { bytes[12 + k / 8] &= static_cast<unsigned char>(~(1u << (k % 8))); }
  void link(uint32_t k, uint32_t next) { putU32(bytes, blockAt(k) + 4092, next); }
  size_t slot(uint32_t j) const { return tableStart() + 32 * size_t{j}; }

  // Appends an entry with these raw fields; `name` fills the field as given.
  void entry(std::string_view name, uint32_t first, uint32_t size, uint32_t lastBytes) {
    size_t at = getU32(bytes, 8);
    putU32(bytes, at, first);
    putU32(bytes, at + 4, size);
    putU32(bytes, at + 8, lastBytes);
    std::fill(bytes.begin() + at + 12, bytes.begin() + at + 32, 0);
    std::copy(name.begin(), name.end(), bytes.begin() + at + 12);
    putU32(bytes, 8, static_cast<uint32_t>(at + 32));
  }
  // A sound file through `chain`: payloads, links, bits and entry.
  Bytes file(const std::string& name, std::vector<uint32_t> chain, uint32_t size) {
    Bytes data = test::patternBytes(size, seed++);
    for (size_t i = 0; i < chain.size(); ++i) {
      size_t from = i * 4092, len = std::min<size_t>(4092, size - std::min<size_t>(size, from));
      std::copy_n(data.begin() + from, len, bytes.begin() + blockAt(chain[i]));
      link(chain[i], i + 1 < chain.size() ? chain[i + 1] : End);
      mark(chain[i]);
    }
    entry(name, chain[0], size, size - 4092 * static_cast<uint32_t>(chain.size() - 1));
    keep.emplace(name, data);  // a repeated name stays with the first file
    return data;
  }

  Bytes bytes;
  uint32_t blocks;
  std::map<std::string, Bytes> keep;  // name -> contents after the repair
  uint32_t seed = 1;
};

Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }

struct Case {
  const char* name;
  uint32_t blocks;
  std::function<void(Disk&)> build;
};

// Three files, one of them fragmented around the others, used by many cases.
void three(Disk& d) {
  d.file("empty", {0}, 0);
  d.file("big", {1, 2, 5}, 9000);
  d.file("one", {3}, 4092);
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"f_clean", 16, three},
      {"f_zero_blocks", 0, [](Disk&) {}},
      {"f_table_full", 2, [](Disk& d) {
         d.file("a", {1}, 1);
         d.file("b", {0}, 4092);
       }},
      // writeFile cut short: bits taken and data written, no entry yet.
      {"f_leaked_blocks", 16, [](Disk& d) {
         three(d);
         for (uint32_t k : {6, 7, 9}) d.mark(k), d.bytes[d.blockAt(k)] = 0xAB;
       }},
      {"f_unmarked_blocks", 16, [](Disk& d) { three(d), d.unmark(2), d.unmark(5); }},
      {"f_spare_bits", 12, [](Disk& d) { three(d), d.bytes[13] |= 0xA0; }},
      {"f_free_not_zero", 16, [](Disk& d) {
         three(d);
         d.bytes[d.blockAt(8) + 100] = 1, d.link(15, 7);
       }},
      // eraseFile cut short while moving entries down: "mid" is half gone.
      {"f_repeated_entry", 16, [](Disk& d) {
         three(d);
         d.file("mid", {6, 7}, 5000);
         d.file("last", {8}, 10);
         std::copy_n(d.bytes.begin() + d.slot(4), 32, d.bytes.begin() + d.slot(3));
         d.keep.erase("mid");
       }},
      // eraseFile cut short while moving "one" down over "big", with only the
      // slot's first 14 bytes landed: entry 2 starts as "one", ends as "big".
      {"f_torn_entry", 16, [](Disk& d) {
         three(d);
         std::copy_n(d.bytes.begin() + d.slot(1), 32, d.bytes.begin() + d.slot(0));
         std::copy_n(d.bytes.begin() + d.slot(2), 14, d.bytes.begin() + d.slot(1));
         d.keep.erase("empty");
       }},
      {"f_name_repeated", 16, [](Disk& d) {
         three(d);
         d.keep["big~1"] = d.file("big", {6}, 7);
         d.file(std::string(19, 'n'), {7}, 1);
         d.keep[std::string(17, 'n') + "~1"] = d.file(std::string(19, 'n'), {8}, 2);
       }},
      {"f_name_unterminated", 16, [](Disk& d) {
         three(d);
         Bytes a = d.file("n", {6}, 3);
         Bytes b = d.file("n", {7}, 4);
         std::fill_n(d.bytes.begin() + d.slot(3) + 12, 20, 'x');
         std::fill_n(d.bytes.begin() + d.slot(4) + 12, 19, 'x');
         d.keep.erase("n");
         d.keep[std::string(19, 'x')] = a, d.keep[std::string(17, 'x') + "~1"] = b;
       }},
      {"f_first_block_out_of_range", 16, [](Disk& d) {
         d.file("a", {0}, 1);
         d.entry("lost", 16, 10, 10);
         d.file("b", {1}, 2);
       }},
      {"f_first_block_taken", 16, [](Disk& d) { three(d), d.entry("cu\"c\nk\xFFoo", 2, 1, 1); }},
      {"f_link_out_of_range", 16, [](Disk& d) {
         Bytes big = d.file("big", {4, 5, 6}, 9000);
         d.link(5, 5000);
         d.keep["big"] = prefix(big, 8184);
       }},
      {"f_chain_loops", 16, [](Disk& d) {
         Bytes big = d.file("big", {4, 5, 6}, 9000);
         d.link(5, 4);
         d.keep["big"] = prefix(big, 8184);
       }},
      {"f_chain_crosses", 16, [](Disk& d) {
         three(d);
         Bytes two = d.file("two", {6, 7}, 5000);
         d.link(6, 2);
         d.keep["two"] = prefix(two, 4092);
       }},
      {"f_chain_too_short", 16, [](Disk& d) {
         Bytes big = d.file("big", {4, 5, 6}, 9000);
         d.link(5, End);
         d.keep["big"] = prefix(big, 8184);
       }},
      {"f_chain_not_ended", 16, [](Disk& d) {
         d.file("small", {2}, 100);
         d.link(2, 9), d.mark(9);
       }},
      {"f_last_block_bytes", 16, [](Disk& d) { three(d), putU32(d.bytes, d.slot(1) + 8, 4092); }},
      // The crash the old write order allowed: an entry whose blocks were
      // never written, so a zero link leads into block 0 of another file.
      {"f_zero_link_into_block_0", 16, [](Disk& d) {
         three(d);
         d.entry("new", 9, 12000, 12000 - 8184), d.mark(9), d.mark(10), d.mark(11);
         d.keep["new"] = Bytes(4092, 0);
       }},
      {"f_many_problems", 24, [](Disk& d) {
         three(d);
         d.file("two", {6, 8}, 5000);
         d.entry("ghost", 30, 1, 1);
         d.keep["big~1"] = d.file("big", {10}, 10);
         d.keep["tail"] = prefix(d.file("tail", {11, 12, 13}, 8200), 8184);
         d.link(12, 3);
         d.entry("two", 6, 5000, 5000 - 4092);
         d.unmark(8), d.mark(20), d.bytes[d.blockAt(21)] = 7;
       }},
      {"f_header_short", 0, [](Disk& d) { d.bytes.resize(7); }},
      {"f_header_block_count", 1, [](Disk& d) { putU32(d.bytes, 0, 2000000); }},
      {"f_header_geometry", 4, [](Disk& d) { putU32(d.bytes, 4, 99), d.bytes.resize(9000); }},
      {"f_header_table_end_outside", 4, [](Disk& d) { putU32(d.bytes, 8, 200); }},
      {"f_header_table_end_misaligned", 4, [](Disk& d) { putU32(d.bytes, 8, 20); }},
  };
  return all;
}

// Runs the command in `dir`; its standard output and error, and exit code.
int runFsck(const test::TempDir& dir, const std::string& args, std::string* out) {
  std::string cmd = "cd '" + dir.path().string() + "' && '" FSCK_BINARY "' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string slurp(const std::string& path) {
  Bytes b = test::readBytes(path);
  return std::string(b.begin(), b.end());
}

// Every file korvane lists reads back as `keep` says, and erases; the
// empty image left is clean.
void expectFilesServed(const test::TempDir& dir, const std::map<std::string, Bytes>& keep) {
  std::string img = dir.file("f.img"), out = dir.file("out");
  std::set<std::string> listed;
  ASSERT_TRUE(listImage(Env::host(), img.c_str(), [] {}, [&](const FileEntry& e) {
                listed.insert(std::string(e.nameView()));
              }).ok());
  std::set<std::string> want;
  for (const auto& [name, data] : keep) want.insert(name);
  EXPECT_EQ(listed, want);
  for (const std::string& name : listed) {
    ASSERT_TRUE(fetchFile(Env::host(), img.c_str(), out.c_str(), name).ok()) << name;
    auto it = keep.find(name);
    if (it != keep.end()) {
      EXPECT_EQ(test::readBytes(out), it->second) << name;
    }
    ASSERT_TRUE(test::removeAll(Env::host(), img.c_str(), name).ok()) << name;
  }
  std::vector<Finding> findings;
  CheckSummary sum;
  ASSERT_TRUE(checkImage(Env::host(), img.c_str(), {}, &findings, &sum).ok());
  EXPECT_EQ(sum.problems, 0u);
}

class FsckCase : public testing::TestWithParam<Case> {};

TEST_P(FsckCase, ReportsAndMends) {
  Disk d(GetParam().blocks);
  GetParam().build(d);
  test::TempDir dir;
  test::writeBytes(dir.file("f.img"), d.bytes);
  std::string log;
  int rc = 0;
  const char* modes[] = {"-n", "-y", "-n"};
  for (int run = 0; run < 3; ++run) {
    std::string out;
    rc = runFsck(dir, std::string(modes[run]) + " f.img", &out);
    log += std::string("$ fsck.korvane ") + modes[run] + " f.img\n" + out + "Exit status is " +
           std::to_string(rc) + "\n";
    if (run == 0) {
      EXPECT_EQ(test::readBytes(dir.file("f.img")), d.bytes) << "-n changed the image";
    }
  }
  std::string expectFile = std::string(FSCK_CASES) + "/" + GetParam().name + ".expect";
  if (std::getenv("KORVANE_FSCK_UPDATE")) test::writeBytes(expectFile, Bytes(log.begin(), log.end()));
  EXPECT_EQ(log, slurp(expectFile));
  // Only a damaged header is left as it is; every other image ends clean.
  if (rc == 0) expectFilesServed(dir, d.keep);
}

INSTANTIATE_TEST_SUITE_P(Suite, FsckCase, testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Check, FindingsAreValues) {
  Disk d(16);
  three(d);
  d.file("big", {6}, 1);
  test::TempDir dir;
  test::writeBytes(dir.file("f.img"), d.bytes);
  std::vector<Finding> found;
  CheckSummary sum;
  ASSERT_TRUE(checkImage(Env::host(), dir.file("f.img").c_str(), {}, &found, &sum).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Problem::NameRepeated);
  EXPECT_EQ(found[0].slot, 3u);
  EXPECT_EQ(found[0].other, 1u);
  EXPECT_EQ(found[0].newName, "big~1");
  EXPECT_EQ(sum.files, 4u);
  EXPECT_EQ(sum.usedBlocks, 6u);
}

TEST(Check, WaitsForTheLockThenGivesUp) {
  Disk d(4);
  test::TempDir dir;
  std::string img = dir.file("f.img");
  test::writeBytes(img, d.bytes);
  std::unique_ptr<File> holder;
  ASSERT_TRUE(Env::host().open(img.c_str(), OpenMode::Read, &holder).ok());
  ASSERT_TRUE(holder->lock(LockMode::Shared, 0).ok());
  CheckOptions quick;
  quick.lockWaitMs = 50;
  std::vector<Finding> found;
  CheckSummary sum;
  EXPECT_EQ(checkImage(Env::host(), img.c_str(), quick, &found, &sum).code, Error::Locked);
}

TEST(Check, CommandLine) {
  test::TempDir dir;
  test::writeBytes(dir.file("f.img"), Disk(4).bytes);
  struct Row {
    const char* args;
    int code;
  } rows[] = {{"-h", 0}, {"", 16}, {"-n -y f.img", 16}, {"-x f.img", 16},
              {"f.img f.img", 16}, {"missing.img", 8}, {"-fp f.img", 0}, {"-a f.img", 0}};
  for (const Row& r : rows) {
    std::string out;
    EXPECT_EQ(runFsck(dir, r.args, &out), r.code) << r.args << "\n" << out;
  }
}

// Random damage: bitmap bytes, table bytes, links to any block, entries
// copied over others, names without NUL. Whatever it does, a repair ends in
// an image that checks clean and whose every file korvane reads and erases.
void damage(Disk& d, uint32_t seed) {
  Bytes r = test::patternBytes(18, seed);
  for (size_t i = 0; i + 2 < r.size(); i += 3) {
    uint32_t slot = r[i + 1] % 5, other = r[i + 2] % 5, block = r[i + 2] % (2 * d.blocks);
    switch (r[i] % 6) {
      case 0: d.bytes[12 + r[i + 1] % 3] = r[i + 2]; break;
      case 1: d.bytes[d.slot(0) + r[i + 1] % (5 * 32)] = r[i + 2]; break;
      case 2: d.link(r[i + 1] % d.blocks, block); break;
      case 3: std::copy_n(d.bytes.begin() + d.slot(other), 32, d.bytes.begin() + d.slot(slot)); break;
      case 4: std::fill_n(d.bytes.begin() + d.slot(slot) + 12, 20, 'z'); break;
      case 5: putU32(d.bytes, d.slot(slot), block); break;
    }
  }
}

TEST(Check, MendsRandomDamage) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    Disk d(23);
    three(d);
    d.file("two", {6, 8}, 5000);
    d.file("tail", {11, 12, 13}, 8200);
    damage(d, seed);
    test::TempDir dir;
    std::string img = dir.file("f.img");
    test::writeBytes(img, d.bytes);
    CheckOptions fix;
    fix.repair = true;
    std::vector<Finding> found;
    CheckSummary sum;
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), fix, &found, &sum).ok()) << seed;
    found.clear();
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), {}, &found, &sum).ok()) << seed;
    ASSERT_EQ(sum.problems, 0u) << "seed " << seed;
    std::vector<std::string> names;
    ASSERT_TRUE(listImage(Env::host(), img.c_str(), [] {}, [&](const FileEntry& e) {
                  names.emplace_back(e.nameView());
                }).ok());
    for (const std::string& name : names) {
      ASSERT_TRUE(fetchFile(Env::host(), img.c_str(), dir.file("out").c_str(), name).ok());
      ASSERT_TRUE(test::removeAll(Env::host(), img.c_str(), name).ok()) << seed << " " << name;
    }
  }
}

// ---- crash loops ------------------------------------------------------------
// Each run cuts the N-th write short, for N = 1, 2, ... until the operation
// gets through: the write lands not at all, or as far as the first sector
// boundary, as a disk that keeps whole sectors would leave it.

using Keep = std::function<size_t(uint64_t, size_t)>;
const Keep keepNone = [](uint64_t, size_t) { return size_t{0}; };
const Keep keepSector = [](uint64_t off, size_t) { return static_cast<size_t>(512 - off % 512); };

class CheckCrash : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    three(base);
    base.file("gone", {6, 7}, 8000);
    base.file("last", {8}, 300);
    img = dir.file("f.img");
  }
  Keep keep() const { return GetParam() ? keepSector : keepNone; }

  // Repairs, then checks that a second run is clean and every file of `keep`
  // but `maybe` reads back as it was; `maybe` may be there, whole, or not.
  void expectMended(const std::string& maybe, long n) {
    std::vector<Finding> found;
    CheckSummary sum;
    CheckOptions fix;
    fix.repair = true;
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), fix, &found, &sum).ok()) << n;
    found.clear();
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), {}, &found, &sum).ok()) << n;
    ASSERT_EQ(sum.problems, 0u) << "after crash at write " << n;
    std::map<std::string, Bytes> want = base.keep;
    bool there = false;
    ASSERT_TRUE(stored(maybe, &there).ok());
    if (!there) want.erase(maybe);
    expectFilesServed(dir, want);
  }
  Status stored(const std::string& name, bool* there) {
    uint64_t slot = 0;
    FileEntry e;
    std::unique_ptr<Image> image;
    if (Status s = Image::open(Env::host(), img.c_str(), Access::Read, &image); !s.ok()) return s;
    if (Status s = image->findEntry(name, &slot, &e); !s.ok()) return s;
    *there = slot < image->entryCount();
    return {};
  }

  Disk base{16};
  test::TempDir dir;
  std::string img;
};

TEST_P(CheckCrash, StoreCutShort) {
  Bytes data = test::patternBytes(13000, 77);
  test::writeBytes(dir.file("host"), data);
  base.keep["new"] = data;
  long n = 1;
  for (;; ++n) {
    test::writeBytes(img, base.bytes);
    test::FaultEnv env({n, keep()});
    (void)storeFile(env, "new", img.c_str(), dir.file("host").c_str());
    if (!env.crashed() || (expectMended("new", n), HasFailure())) break;
  }
  EXPECT_GT(n, 4);  // bits, data, entry, tableEnd: each was cut
}

TEST_P(CheckCrash, EraseCutShort) {
  long n = 1;
  for (;; ++n) {
    test::writeBytes(img, base.bytes);
    test::FaultEnv env({n, keep()});
    (void)test::removeAll(env, img.c_str(), "big");
    if (!env.crashed() || (expectMended("big", n), HasFailure())) break;
  }
  EXPECT_GT(n, 4);  // table, tableEnd, zeroing and bits of two runs
}

// The checker's own repair, cut short, is finished by the next run, which
// ends where an uninterrupted repair does.
TEST_P(CheckCrash, RepairCutShort) {
  Disk broken(24);
  for (const Case& c : cases())
    if (std::string(c.name) == "f_many_problems") c.build(broken);
  CheckOptions fix;
  fix.repair = true;
  std::vector<Finding> found;
  CheckSummary sum;
  test::writeBytes(img, broken.bytes);
  ASSERT_TRUE(checkImage(Env::host(), img.c_str(), fix, &found, &sum).ok());
  Bytes mended = test::readBytes(img);
  long n = 1;
  for (;; ++n) {
    test::writeBytes(img, broken.bytes);
    test::FaultEnv env({n, keep()});
    (void)checkImage(env, img.c_str(), fix, &found, &sum);
    if (!env.crashed()) break;
    ASSERT_TRUE(checkImage(Env::host(), img.c_str(), fix, &found, &sum).ok());
    EXPECT_EQ(test::readBytes(img), mended) << "after crash at write " << n;
    if (HasFailure()) break;
  }
  EXPECT_GT(n, 6);  // bits, link, entries, table, tableEnd, zeroing, bits
}

// Every state the robustness suite's crash loop leaves in writing and
// erasing, cut whole or torn at a sector boundary, is mended by one repair
// to what its independent checker calls clean, with no file lost or
// changed and the file being written or erased whole or gone.
std::string mendAndJudge(const test::Scenario& sc, const test::CheckReport& before,
                         const Bytes& cut) {
  test::TempDir dir;
  std::string img = dir.file("d.img");
  test::writeBytes(img, cut);
  CheckOptions fix;
  fix.repair = true;
  std::vector<Finding> found;
  CheckSummary sum;
  if (!checkImage(Env::host(), img.c_str(), fix, &found, &sum).ok()) return "repair failed";
  test::CheckReport after = test::checkImage(test::readBytes(img));
  if (!after.problems.empty() || !after.remnants.empty()) return after.describe();
  std::map<std::string, Bytes> want = before.files;
  if (sc.kind == test::Scenario::Store) want[sc.name] = sc.content;
  if (!after.files.count(sc.name)) want.erase(sc.name);
  return after.files == want ? "" : "files differ: " + after.describe();
}

// The robustness suite's writes and erases, and erases from a table of 20
// entries, whose moves cross a sector boundary inside an entry.
std::vector<test::Scenario> cutScenarios() {
  std::vector<test::Scenario> all;
  for (const test::Scenario& sc : test::scenarios())
    if (sc.kind == test::Scenario::Store || sc.kind == test::Scenario::Remove) all.push_back(sc);
  std::vector<std::pair<std::string, long>> steps;
  for (int i = 0; i < 20; ++i)
    steps.push_back({"entry-" + std::to_string(100 + i) + (i % 2 ? "-odd" : "-even"), 100 + 37 * i});
  Bytes table = test::buildImage(40, steps);
  for (int slot : {0, 9, 19})
    all.push_back({"erase slot " + std::to_string(slot) + " of 20", test::Scenario::Remove, table,
                   steps[slot].first, {}});
  return all;
}

TEST(CheckRobustnessLoop, MendsEveryCut) {
  auto firstTear = [](uint64_t off, size_t len) {
    size_t k = static_cast<size_t>(512 - off % 512);
    return k < len ? k : 0;
  };
  auto lastTear = [](uint64_t off, size_t len) {
    size_t k = static_cast<size_t>((off + len - 1) / 512 * 512 - off);
    return k > 0 && k < len ? k : 0;
  };
  long states = 0;
  for (const test::Scenario& sc : cutScenarios()) {
    test::World w(sc);
    for (long n = 1; n < 10000; ++n) {
      bool crashed = false;
      for (const Keep& keep : {keepNone, Keep(firstTear), Keep(lastTear)}) {
        w.reset();
        test::FaultEnv env({n, keep});
        (void)w.runLogic(env);
        crashed = env.crashed();
        if (!crashed) break;
        w.look();
        EXPECT_EQ(mendAndJudge(sc, w.before(), w.image()), "") << sc.label << ", write " << n;
        ++states;
      }
      if (!crashed || HasFailure()) break;
    }
  }
  std::cout << "crash states mended: " << states << std::endl;
  EXPECT_GT(states, 30);
}

INSTANTIATE_TEST_SUITE_P(Writes, CheckCrash, testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "TornAtSector" : "Lost");
});

}  // namespace
}  // namespace korvane
