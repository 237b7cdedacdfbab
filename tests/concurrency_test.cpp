// Concurrent use: several processes on one image at once. Each operation
// holds the image's lock for its whole length, shared to read, exclusive
// to change, so no two changes interleave and no reader sees half of one.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>

#include "tests/scenarios.h"

namespace korvane::test {
namespace {

constexpr int Children = 4;
constexpr int OpsEach = 50;

// One process's share: it stores, reads back and erases files under names
// no other process uses, with a status report or a listing now and then.
// Returns "" or the first thing that went wrong; `kept` ends as the files
// it left stored, by name and size.
std::string work(int child, const std::string& img, const TempDir& dir,
                 std::map<std::string, size_t>* kept) {
  std::mt19937 rng(child + 1);
  std::string tag = std::to_string(child);
  std::string host = dir.file("in-" + tag), out = dir.file("out-" + tag);
  for (int i = 0; i < OpsEach; ++i) {
    unsigned roll = rng() % 20;
    if (kept->empty() || (roll < 9 && kept->size() < 6)) {
      std::string name = "p" + tag + "-" + std::to_string(i);
      size_t size = rng() % 10000;
      writeBytes(host, contentOf(name, size));
      if (!storeFile(Env::host(), name, img.c_str(), host.c_str()).ok()) return "store " + name;
      (*kept)[name] = size;
      continue;
    }
    auto it = std::next(kept->begin(), static_cast<long>(rng() % kept->size()));
    const std::string name = it->first;
    if (roll < 14) {
      if (!fetchFile(Env::host(), img.c_str(), out.c_str(), name).ok()) return "read " + name;
      if (readBytes(out) != contentOf(name, it->second)) return name + " read back changed";
    } else if (roll < 19) {
      if (!removeAll(Env::host(), img.c_str(), name).ok()) return "erase " + name;
      kept->erase(it);
    } else {
      StatReport report;
      if (!statImage(Env::host(), img.c_str(), &report).ok()) return "status";
      if (!listImage(Env::host(), img.c_str(), [] {}, [](const FileEntry&) {}).ok())
        return "listing";
    }
  }
  return "";
}

TEST(ConcurrentTest, ProcessesSharingAnImageLoseNothing) {
  TempDir dir;
  std::string img = dir.file("d.img");
  writeBytes(img, emptyImage(96));
  pid_t pids[Children];
  for (int c = 0; c < Children; ++c) {
    pids[c] = ::fork();
    ASSERT_GE(pids[c], 0);
    if (pids[c] == 0) {
      std::map<std::string, size_t> kept;
      std::string failure = work(c, img, dir, &kept);
      std::ofstream report(dir.file("kept-" + std::to_string(c)));
      for (const auto& [name, size] : kept) report << name << ' ' << size << '\n';
      report.close();
      if (!failure.empty()) writeBytes(dir.file("failed-" + std::to_string(c)), bytesOf(failure));
      ::_exit(failure.empty() ? 0 : 1);
    }
  }
  std::map<std::string, Bytes> want;
  for (int c = 0; c < Children; ++c) {
    int status = 0;
    ::waitpid(pids[c], &status, 0);
    std::ifstream report(dir.file("kept-" + std::to_string(c)));
    std::string name, size;
    while (report >> name >> size) want[name] = contentOf(name, std::stoul(size));
    Bytes failure = readBytes(dir.file("failed-" + std::to_string(c)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "process " << c << ": " << std::string(failure.begin(), failure.end()) << " failed";
  }
  CheckReport r = checkImage(readBytes(img));
  EXPECT_TRUE(r.problems.empty() && r.remnants.empty()) << r.describe();
  EXPECT_EQ(r.files.size(), want.size());
  EXPECT_TRUE(r.files == want) << "a file reported stored is lost or changed";
  std::cout << "concurrent operations: " << Children * OpsEach << " in " << Children
            << " processes" << std::endl;
}

// Another process that takes a flock on `path` and holds it for `holdMs`,
// or until it is destroyed.
class LockHolder {
 public:
  LockHolder(const std::string& path, int how, int holdMs) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0 || ::flock(fd, how) != 0) ::_exit(1);
      (void)!::write(ready[1], "x", 1);
      ::usleep(static_cast<useconds_t>(holdMs) * 1000);
      ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    held_ = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~LockHolder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST(ConcurrentTest, ARunWaitsForALockHeldElsewhere) {
  TempDir dir;
  std::string img = dir.file("d.img"), host = dir.file("in.bin"), out = dir.file("out.bin");
  writeBytes(img, buildImage(8, {{"a", 5000}}));
  writeBytes(host, contentOf("b", 3000));
  struct Case {
    const char* what;
    int held;
    bool waits;
    std::function<void()> op;
  };
  const Case cases[] = {
      {"listing under a writer", LOCK_EX, true, [&] { showFiles(img.c_str()); }},
      {"write under a reader", LOCK_SH, true, [&] { writeFile("b", img.c_str(), host.c_str()); }},
      {"read under a reader", LOCK_SH, false, [&] { readFile(img.c_str(), out.c_str(), "b"); }},
      {"erase under a reader", LOCK_SH, true, [&] { eraseFile(img.c_str(), "b"); }},
      {"create under a reader", LOCK_SH, true, [&] { createDisk(img.c_str(), 8); }},
  };
  for (const Case& c : cases) {
    LockHolder holder(img, c.held, c.waits ? 200 : 5000);
    ASSERT_TRUE(holder.held()) << c.what;
    auto start = std::chrono::steady_clock::now();
    std::string err;
    {
      CaptureOutput cap;
      c.op();
      err = cap.err();
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(err, "") << c.what;
    if (c.waits)
      EXPECT_TRUE(ms >= 150 && ms < 10000) << c.what << ": took " << ms << " ms";
    else
      EXPECT_LT(ms, 2500) << c.what << ": readers must not wait for each other";
  }
  CheckReport r = checkImage(readBytes(img));
  EXPECT_TRUE(r.isImage && r.problems.empty() && r.files.empty()) << r.describe();
}

// A lock never freed ends in one line and no change; the real wait is too
// long for a test, so the lock gives up at once here.
TEST(ConcurrentTest, AnImageLockedTooLongGivesOneLineAndChangesNothing) {
  TempDir dir;
  std::string img = dir.file("d.img"), host = dir.file("in.bin"), out = dir.file("out.bin");
  const Bytes base = buildImage(8, {{"a", 5000}});
  writeBytes(img, base);
  writeBytes(host, contentOf("b", 3000));
  FaultEnv::Plan plan;
  plan.lockBusy = true;
  FaultEnv env(plan);
  const std::function<void()> ops[] = {
      [&] { createDisk(img.c_str(), 8, env); },
      [&] { showStat(img.c_str(), env); },
      [&] { showFiles(img.c_str(), env); },
      [&] { writeFile("b", img.c_str(), host.c_str(), env); },
      [&] { readFile(img.c_str(), out.c_str(), "a", env); },
      [&] { eraseFile(img.c_str(), "a", env); },
  };
  int i = 0;
  for (const auto& op : ops) {
    CaptureOutput cap;
    op();
    EXPECT_EQ(cap.out(), "") << "operation " << i;
    EXPECT_EQ(cap.err(), "Virtual disk image is in use by another process!\n") << "operation " << i;
    EXPECT_EQ(readBytes(img), base) << "operation " << i;
    EXPECT_FALSE(std::filesystem::exists(out)) << "operation " << i++;
  }
}

}  // namespace
}  // namespace korvane::test
