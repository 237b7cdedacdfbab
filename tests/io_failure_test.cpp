// Every I/O call failing: each printing operation meets a failure at its
// first call, then its second, and so on, with EIO and ENOSPC, once and from
// then on. Then the same against the real host: a full file system and a
// file-size limit.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iostream>

#include "tests/fault_env.h"
#include "tests/scenarios.h"

namespace korvane::test {
namespace {

using Printed = std::pair<std::string, std::string>;  // standard output, standard error

void expectOneErrorLine(const Printed& p, const std::string& where) {
  EXPECT_EQ(p.first, "") << where;
  EXPECT_EQ(std::count(p.second.begin(), p.second.end(), '\n'), 1) << where << ": " << p.second;
  EXPECT_TRUE(!p.second.empty() && p.second.back() == '\n') << where << ": " << p.second;
}

struct Mode {
  int err;
  bool stays;
  const char* label;
};
constexpr Mode Modes[] = {{EIO, false, "EIO once"},
                          {EIO, true, "EIO from then on"},
                          {ENOSPC, false, "ENOSPC once"},
                          {ENOSPC, true, "ENOSPC from then on"}};

// A failure that is reported must leave what a crash may leave; one that
// happens once leaves no trace where the operation can undo itself. (From
// then on, even removing a partial file fails.)
void judgeFailure(const Scenario& sc, World& w, const Mode& m, const std::string& call,
                  const std::string& where) {
  EXPECT_EQ(w.judgeCut(), "") << where;
  if (m.stays) return;
  // Until it is emptied, the file a create replaces is left as it was.
  bool early = call == "stat" || call == "open" || call == "identity" || call == "lock" ||
               call == "truncate";
  EXPECT_TRUE(sc.kind != Scenario::Make || sc.base.empty() || !early || w.image() == sc.base)
      << where << ": the old image is gone before it was touched";
  bool stored = w.report().files.count(sc.name) > 0;
  EXPECT_TRUE(sc.kind != Scenario::Make || !w.imageExists() || w.image() == sc.base)
      << where << ": a half image is left";
  EXPECT_TRUE(sc.kind != Scenario::Store || stored || w.sameAsBase())
      << where << ": the blocks taken are not given back";
  EXPECT_TRUE(sc.kind != Scenario::Fetch || sc.intoImage || !w.targetExists() ||
              w.target == sc.content)
      << where << ": a half file is left";
}

long failEverywhere(const Scenario& sc) {
  World w(sc);
  long points = 0;
  for (const Mode& m : Modes) {
    for (long n = 1;; ++n) {
      w.reset();
      FaultEnv::Plan plan;
      plan.failAtCall = n;
      plan.failErr = m.err;
      plan.failStays = m.stays;
      plan.skipSync = true;
      FaultEnv env(plan);
      Printed p = w.runPrinted(env);
      if (env.calls() < n) break;  // the run ended before call n
      w.look();
      ++points;
      std::string where = sc.label + ", call " + std::to_string(n) + " (" + env.failedCall() +
                          ") fails, " + m.label;
      if (p.second.empty()) {
        // The failure did not matter: the operation must have done its work.
        EXPECT_FALSE(sc.intoImage) << where;
        EXPECT_EQ(p.first.empty(), sc.kind == Scenario::Store) << where << ": " << p.first;
        EXPECT_EQ(w.judgeDone(true), "") << where;
      } else if (p.second.find("not freed") != std::string::npos) {
        // Failed after the erase was committed: the file is gone, as said,
        // and what is left over is only blocks not yet freed.
        EXPECT_EQ(sc.kind, Scenario::Remove) << where;
        EXPECT_EQ(p.first, "File " + sc.name + " removed from disk.\n") << where;
        EXPECT_EQ(std::count(p.second.begin(), p.second.end(), '\n'), 1) << where;
        EXPECT_EQ(w.judgeDone(false), "") << where;
      } else {
        expectOneErrorLine(p, where);
        judgeFailure(sc, w, m, env.failedCall(), where);
      }
      EXPECT_EQ(w.retry(), "") << where;
    }
  }
  return points;
}

void failAll(Scenario::Kind kind, const char* what) {
  long points = 0;
  for (const Scenario& sc : scenarios())
    if (sc.kind == kind) points += failEverywhere(sc);
  std::cout << what << ": I/O failure points tried: " << points << std::endl;
  ::testing::Test::RecordProperty("failure_points", static_cast<int>(points));
}

TEST(IoFailureTest, Create) { failAll(Scenario::Make, "create"); }
TEST(IoFailureTest, Write) { failAll(Scenario::Store, "write"); }
TEST(IoFailureTest, Erase) { failAll(Scenario::Remove, "erase"); }
TEST(IoFailureTest, ReadOut) { failAll(Scenario::Fetch, "read out"); }

// ---- The real host ----

Printed printed(const std::function<void()>& op) {
  CaptureOutput cap;
  op();
  return {cap.out(), cap.err()};
}

// A tmpfs of `kb` kB mounted on a fresh folder, unmounted at the end.
class SmallFs {
 public:
  explicit SmallFs(int kb) {
    std::string opts = "size=" + std::to_string(kb) + "k";
    mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, opts.c_str()) == 0;
  }
  ~SmallFs() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Fills the file system with a filler file but for `room` bytes.
  void fill(off_t room) {
    int fd = ::open(file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    static const char chunk[4096] = {1};
    off_t total = 0;
    for (ssize_t n; (n = ::write(fd, chunk, sizeof chunk)) > 0;) total += n;
    EXPECT_EQ(::ftruncate(fd, std::max<off_t>(0, total - room)), 0);
    ::close(fd);
  }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

TEST(IoFailureTest, FullHostFileSystem) {
  SmallFs fs(512);
  if (!fs.mounted())
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): full-disk cases not run";
  TempDir outside;
  namespace fsys = std::filesystem;

  std::string big = fs.file("big.img");
  expectOneErrorLine(printed([&] { createDisk(big.c_str(), 1024); }), "create 1 MB on 512 kB");
  EXPECT_FALSE(fsys::exists(big)) << "a half image is left";

  // An image made before the file system filled up has its space already.
  std::string img = fs.file("d.img"), host = outside.file("in.bin");
  printed([&] { createDisk(img.c_str(), 160); });
  writeBytes(host, contentOf("w", 60000));
  fs.fill(0);
  Printed p = printed([&] { writeFile("w", img.c_str(), host.c_str()); });
  EXPECT_EQ(p.first + p.second, "") << "write into a reserved image on a full disk";
  Bytes stored = readBytes(img);
  CheckReport r = checkImage(stored);
  EXPECT_TRUE(r.problems.empty() && r.files["w"] == contentOf("w", 60000)) << r.describe();

  std::string out = fs.file("out.bin");
  fsys::remove(fs.file("filler"));
  fs.fill(16384);
  expectOneErrorLine(printed([&] { readFile(img.c_str(), out.c_str(), "w"); }),
                     "read out onto a nearly full disk");
  EXPECT_FALSE(fsys::exists(out)) << "a half host file is left";
  EXPECT_EQ(readBytes(img), stored);

  // A sparse image, whose blocks were never given space, meets a full disk.
  fsys::remove(img);
  fsys::remove(fs.file("filler"));
  Bytes sparse = emptyImage(40);
  size_t dataOffset = getU32(sparse, 4);
  writeBytes(img, Bytes(sparse.begin(), sparse.begin() + static_cast<long>(dataOffset)));
  fsys::resize_file(img, sparse.size());
  fs.fill(0);
  p = printed([&] { writeFile("w", img.c_str(), host.c_str()); });
  expectOneErrorLine(p, "write into a sparse image on a full disk");
  r = checkImage(readBytes(img));
  EXPECT_TRUE(r.problems.empty() && r.files.empty() && r.leaked == 0)
      << "not as it was: " << r.describe();
}

// Runs `op` in a child whose files may not grow past `limit` bytes, with
// SIGXFSZ ignored so that such a write fails with EFBIG; returns what the
// child printed.
Printed underSizeLimit(const TempDir& dir, rlim_t limit, const std::function<void()>& op) {
  std::string said = dir.file("printed");
  std::filesystem::remove(said);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    Printed p = printed(op);
    writeBytes(said, bytesOf(p.first + '\0' + p.second));
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  Bytes b = readBytes(said);
  std::string msg(b.begin(), b.end());
  size_t nul = msg.find('\0');
  if (nul == std::string::npos) return {"the child died", ""};
  return {msg.substr(0, nul), msg.substr(nul + 1)};
}

TEST(IoFailureTest, FileSizeLimit) {
  TempDir dir;
  auto limited = [&](const char* what, const std::function<void()>& op) {
    expectOneErrorLine(underSizeLimit(dir, 256 * 1024, op), what);
  };
  std::string big = dir.file("big.img");
  limited("create past the limit", [&] { createDisk(big.c_str(), 1024); });
  EXPECT_FALSE(std::filesystem::exists(big)) << "a half image is left";

  // Blocks past the limit cannot be written, though the image is long enough.
  std::string img = dir.file("d.img"), host = dir.file("in.bin"), out = dir.file("out.bin");
  const Bytes empty = emptyImage(300), full = buildImage(300, {{"big", 600000}});
  writeBytes(img, empty);
  writeBytes(host, contentOf("big", 600000));
  limited("write past the limit", [&] { writeFile("big", img.c_str(), host.c_str()); });
  EXPECT_EQ(firstDiff(readBytes(img), empty), "") << "the image is not as it was";

  writeBytes(img, full);
  limited("read out past the limit", [&] { readFile(img.c_str(), out.c_str(), "big"); });
  EXPECT_FALSE(std::filesystem::exists(out)) << "a half host file is left";
  EXPECT_EQ(readBytes(img), full);
}

}  // namespace
}  // namespace korvane::test
