// Every damaged image against every operation, then against the checker,
// whose report on the f_* images is kept in tests/fsck/<name>.expect: the
// command runs with -n, -y and -n again. Then random damage, mended.
// Set KORVANE_FSCK_UPDATE=1 to rewrite the .expect files from the output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include "tests/judge.h"

namespace korvane::test {
namespace {

// Runs the command in `dir`: its standard output and error, and exit code.
int runFsck(const TempDir& dir, const std::string& args, std::string* out) {
  std::string cmd = "cd '" + dir.path.string() + "' && '" FSCK_BINARY "' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void expectReport(const Damaged& c, const Bytes& image) {
  TempDir dir;
  spit(dir.file("f.img"), image);
  std::string log;
  for (std::string mode : {"-n", "-y", "-n"}) {
    std::string out;
    int rc = runFsck(dir, mode + " f.img", &out);
    if (log.empty()) {
      EXPECT_EQ(slurp(dir.file("f.img")), image) << c.name << ": -n changed it";
    }
    log += "$ fsck.korvane " + mode + " f.img\n" + out + "Exit status is " + std::to_string(rc) + "\n";
  }
  std::string expect = std::string(FSCK_CASES) + "/" + c.name + ".expect";
  if (std::getenv("KORVANE_FSCK_UPDATE")) spit(expect, Bytes(log.begin(), log.end()));
  Bytes want = slurp(expect);
  EXPECT_EQ(log, std::string(want.begin(), want.end())) << c.name;
}

TEST(Damaged, EveryOperationAndTheChecker) {
  for (const Damaged& c : damagedImages()) {
    Disk d = build(c);
    bool named = std::string_view(c.name).substr(0, 2) == "f_";
    EXPECT_EQ(everyOperation(d.bytes, c.ops, c.target, c.used, named ? &d.keep : nullptr), "") << c.name;
    if (named) expectReport(c, d.bytes);
  }
}

// A check or a repair that meets a failing call, whichever it is, says so;
// only a repair already done may let a failed clean-up go unsaid.
TEST(Damaged, EveryFailingCallIsTold) {
  for (const Damaged& c : damagedImages()) {
    for (long k = 1, repair = 0; repair < 2 && c.blocks <= 64; ++k) {
      MemEnv env({.failAtCall = k});
      env.put("d.img", build(c).bytes);
      std::vector<Finding> found;
      CheckSummary sum;
      Status s = checkImage(env, "d.img", {.repair = bool(repair)}, &found, &sum);
      if (env.calls < k) k = 0, ++repair;  // no call failed
      else EXPECT_TRUE(!s.ok() || (repair && problems(env, "d.img", false, &sum).empty()))
          << c.name << ", repair " << repair << ", failing call " << k << ": " << env.failed;
    }
  }
}

// Random damage to bitmap bytes, table bytes, links, entries copied over
// others, names without NUL: a repair always ends clean, every file served.
TEST(Damaged, RandomDamageIsMended) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    Disk d(23);
    three(d), d.file("two", {6, 8}, 5000), d.file("tail", {11, 12, 13}, 8200);
    Bytes r = pattern(18, seed);
    for (size_t i = 0; i + 2 < r.size(); i += 3) {
      uint32_t slot = r[i + 1] % 5, other = r[i + 2] % 5, block = r[i + 2] % (2 * d.blocks);
      auto name = d.bytes.begin() + d.slot(slot) + 12;
      switch (r[i] % 6) {
        case 0: d.bytes[12 + r[i + 1] % 3] = r[i + 2]; break;
        case 1: d.bytes[d.slot(0) + r[i + 1] % (5 * 32)] = r[i + 2]; break;
        case 2: d.link(r[i + 1] % d.blocks, block); break;
        case 3: std::copy_n(d.bytes.begin() + d.slot(other), 32, name - 12); break;
        case 4: std::fill_n(name, 20, 'z'); break;
        case 5: d.put(d.slot(slot), block); break;
      }
    }
    ASSERT_EQ(everyOperation(d.bytes), "") << "seed " << seed;
  }
}

}  // namespace
}  // namespace korvane::test
