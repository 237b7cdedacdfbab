// The real host: processes sharing an image and its lock, a full file
// system, a file-size limit, the mapped read window, a file shortened under
// a run, and files too large to build in memory (sparse here).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <random>
#include <sstream>

#include "image/store.h"
#include "ops/ops.h"
#include "tests/images.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

Env& host = Env::host();

// The image at `path` checks clean and holds exactly `want`.
std::string judgeFile(const std::string& path, const Files& want) {
  MemEnv env;
  env.put("d.img", slurp(path));
  std::string j = judge(env, "d.img", Look::Clean, &want);
  return j.empty() && listed(env, "d.img").size() != want.size() ? "files appeared" : j;
}

// Runs `op` in a child process (with `limit` on the size of files it
// writes, SIGXFSZ ignored); returns what it printed on both streams.
std::string inChild(const TempDir& dir, const std::function<void()>& op, rlim_t limit = RLIM_INFINITY) {
  std::string said = dir.file("said");
  if (pid_t pid = fork(); pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    std::ostringstream out;
    std::cout.rdbuf(out.rdbuf()), std::cerr.rdbuf(out.rdbuf());
    op();
    std::cout.rdbuf(nullptr), std::cerr.rdbuf(nullptr);
    std::string s = out.str();
    spit(said, Bytes(s.begin(), s.end()));
    _exit(0);
  } else {
    waitpid(pid, nullptr, 0);
  }
  Bytes b = slurp(said);
  std::filesystem::remove(said);
  return std::string(b.begin(), b.end());
}

// Four processes store, read back and erase files under names of their own,
// with a status report now and then; nothing is lost or half seen.
TEST(Host, ProcessesSharingAnImageLoseNothing) {
  TempDir dir;
  std::string img = dir.file("d.img");
  spit(img, Disk(96).bytes);
  pid_t pids[4];
  for (int c = 0; c < 4; ++c) {
    if ((pids[c] = fork()) != 0) continue;
    std::mt19937 rng(c + 1);
    std::map<std::string, size_t> kept;
    std::string in = dir.file("in" + std::to_string(c)), out = dir.file("out" + std::to_string(c));
    for (int i = 0; i < 50; ++i) {
      std::string name = "p" + std::to_string(c) + "-" + std::to_string(i);
      auto it = kept.empty() ? kept.end() : std::next(kept.begin(), long(rng() % kept.size()));
      unsigned roll = rng() % 20;
      bool ok = true;
      if (it == kept.end() || (roll < 9 && kept.size() < 6)) {
        kept[name] = rng() % 10000;
        spit(in, pattern(kept[name], i));
        ok = storeFile(host, name, img.c_str(), in.c_str()).ok();
      } else if (roll < 14) {
        ok = fetchFile(host, img.c_str(), out.c_str(), it->first).ok() &&
             slurp(out) == pattern(it->second, std::stoi(it->first.substr(3)));
      } else if (roll < 19) {
        ok = eraseAll(host, img.c_str(), it->first).ok();
        kept.erase(it);
      } else {
        StatReport r;
        ok = statImage(host, img.c_str(), &r).ok() && listed(host, img.c_str()).size() >= kept.size();
      }
      if (!ok) _exit(1);
    }
    std::ofstream list(dir.file("kept" + std::to_string(c)));
    for (const auto& [name, size] : kept) list << name << ' ' << size << '\n';
    list.close();
    _exit(0);
  }
  Files want;
  for (int c = 0; c < 4; ++c) {
    int status = 0;
    waitpid(pids[c], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << c;
    std::ifstream list(dir.file("kept" + std::to_string(c)));
    std::string name;
    for (size_t size; list >> name >> size;) want[name] = pattern(size, std::stoi(name.substr(3)));
  }
  EXPECT_EQ(judgeFile(img, want), "");
}

// Another process holding a flock on `path` for `ms`.
struct LockHolder {
  LockHolder(const std::string& path, int how, int ms) {
    int ready[2];
    if (pipe(ready) != 0) return;
    if ((pid = fork()) == 0) {
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0 || flock(fd, how) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
      usleep(static_cast<useconds_t>(ms) * 1000);
      _exit(0);
    }
    close(ready[1]);
    char c;
    held = read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
  pid_t pid = -1;
  bool held = false;
};

// Writers wait for readers and readers for writers, then go on; readers
// never wait for each other; the checker gives up after its own wait.
TEST(Host, LocksAreWaitedFor) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  Disk d(8);
  d.file("a", {0, 1}, 5000);
  spit(img, d.bytes);
  spit(in, pattern(3000, 1));
  const std::tuple<const char*, int, bool, std::function<void()>> cases[] = {
      {"listing under a writer", LOCK_EX, true, [&] { showFiles(img.c_str()); }},
      {"write under a reader", LOCK_SH, true, [&] { writeFile("b", img.c_str(), in.c_str()); }},
      {"read under a reader", LOCK_SH, false, [&] { readFile(img.c_str(), out.c_str(), "b"); }},
      {"erase under a reader", LOCK_SH, true, [&] { eraseFile(img.c_str(), "b"); }},
      {"create under a reader", LOCK_SH, true, [&] { createDisk(img.c_str(), 8); }},
  };
  for (const auto& [what, how, waits, op] : cases) {
    LockHolder holder(img, how, waits ? 200 : 5000);
    ASSERT_TRUE(holder.held) << what;
    auto start = std::chrono::steady_clock::now();
    std::ostringstream err;
    auto* e = std::cerr.rdbuf(err.rdbuf());
    op();
    std::cerr.rdbuf(e);
    long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(err.str(), "") << what;
    EXPECT_TRUE(waits ? ms >= 150 && ms < 10000 : ms < 2500) << what << ": took " << ms << " ms";
  }
  EXPECT_EQ(judgeFile(img, {}), "");
  LockHolder holder(img, LOCK_SH, 5000);
  std::vector<Finding> found;
  CheckSummary sum;
  EXPECT_EQ(checkImage(host, img.c_str(), {.lockWaitMs = 50}, &found, &sum).code, Error::Locked);
}

TEST(Host, FullFileSystem) {
  TempDir fs, outside;
  if (mount("tmpfs", fs.path.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): full-disk cases not run";
  std::string img = fs.file("d.img"), in = outside.file("in"), out = fs.file("out");
  auto fill = [&](off_t room) {  // fills the file system but for `room` bytes
    int fd = open(fs.file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    static const char chunk[4096] = {1};
    off_t total = 0;
    for (ssize_t n; (n = write(fd, chunk, sizeof chunk)) > 0;) total += n;
    EXPECT_EQ(ftruncate(fd, std::max<off_t>(0, total - room)), 0);
    close(fd);
  };
  std::string said = inChild(outside, [&] { createDisk(fs.file("big.img").c_str(), 1024); });
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_FALSE(std::filesystem::exists(fs.file("big.img"))) << "a half image is left";
  // An image made before the disk filled up has its space already.
  spit(in, pattern(60000, 1));
  inChild(outside, [&] { createDisk(img.c_str(), 160); });
  fill(0);
  EXPECT_EQ(inChild(outside, [&] { writeFile("w", img.c_str(), in.c_str()); }), "");
  EXPECT_EQ(judgeFile(img, {{"w", pattern(60000, 1)}}), "");
  Bytes stored = slurp(img);
  std::filesystem::remove(fs.file("filler"));
  fill(16384);
  said = inChild(outside, [&] { readFile(img.c_str(), out.c_str(), "w"); });
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_FALSE(std::filesystem::exists(out)) << "a half host file is left";
  EXPECT_EQ(slurp(img), stored);
  // A sparse image, whose blocks were never given space, meets a full disk.
  std::filesystem::remove(img), std::filesystem::remove(fs.file("filler"));
  Disk sparse(40);
  spit(img, Bytes(sparse.bytes.begin(), sparse.bytes.begin() + long(sparse.block(0))));
  std::filesystem::resize_file(img, sparse.bytes.size());
  fill(0);
  said = inChild(outside, [&] { writeFile("w", img.c_str(), in.c_str()); });
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(judgeFile(img, {}), "");
  umount2(fs.path.c_str(), MNT_DETACH);
}

TEST(Host, FileSizeLimit) {
  TempDir dir;
  std::string big = dir.file("big.img"), img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  auto limited = [&](const std::function<void()>& op) {
    std::string said = inChild(dir, op, 256 * 1024);
    return std::count(said.begin(), said.end(), '\n') == 1 ? "" : said;
  };
  EXPECT_EQ(limited([&] { createDisk(big.c_str(), 1024); }), "");
  EXPECT_FALSE(std::filesystem::exists(big)) << "a half image is left";
  // Blocks past the limit cannot be written, though the image is long enough.
  Disk empty(300), full(300);
  full.file("big", blocks(147), 600000);
  spit(img, empty.bytes), spit(in, full.keep["big"]);
  EXPECT_EQ(limited([&] { writeFile("big", img.c_str(), in.c_str()); }), "");
  EXPECT_EQ(slurp(img), empty.bytes);
  spit(img, full.bytes);
  EXPECT_EQ(limited([&] { readFile(img.c_str(), out.c_str(), "big"); }), "");
  EXPECT_FALSE(std::filesystem::exists(out)) << "a half host file is left";
  EXPECT_EQ(slurp(img), full.bytes);
}

// Small reads come from a mapped 4 MiB window of the image: a chain that
// jumps back and forth across a window's edge, and a store across it.
// Another program then shortens the image: reads fail, nothing crashes.
TEST(Host, ReadWindowAndAShortenedImage) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  Disk d(1100);  // block 1015 straddles 4 MiB; its link lies past it
  Bytes x = d.file("x", {1010, 1020, 1011, 1021, 1015, 3}, 6 * 4092 - 9);
  spit(img, d.bytes), spit(in, pattern(4 << 20, 5));
  ASSERT_TRUE(fetchFile(host, img.c_str(), out.c_str(), "x").ok());
  EXPECT_EQ(slurp(out), x);
  ASSERT_TRUE(storeFile(host, "y", img.c_str(), in.c_str()).ok());
  ASSERT_TRUE(fetchFile(host, img.c_str(), out.c_str(), "y").ok());
  EXPECT_EQ(slurp(out), pattern(4 << 20, 5));
  ASSERT_TRUE(eraseAll(host, img.c_str(), "x").ok());
  EXPECT_EQ(judgeFile(img, {{"y", pattern(4 << 20, 5)}}), "");

  std::unique_ptr<File> f;
  unsigned char link[4];
  ASSERT_TRUE(host.open(img.c_str(), OpenMode::Read, &f).ok());
  ASSERT_TRUE(readExact(*f, d.block(1015) + 4092, link, 4).ok());
  ASSERT_EQ(truncate(img.c_str(), 4096), 0);
  EXPECT_FALSE(readExact(*f, d.block(1015) + 4092, link, 4).ok());
  EXPECT_FALSE(readExact(*f, d.block(3) + 4092, link, 4).ok());
  EXPECT_EQ(fetchFile(host, img.c_str(), out.c_str(), "y").code, Error::Damaged);
}

// A bitmap longer than one 64 kB read window, and a host file of 4 GiB:
// sparse files that cost no disk.
TEST(Host, HugeSparseFiles) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in");
  const uint32_t n = 599999;
  Disk head(0);
  head.bytes.assign(12 + 75000, 0xFF);
  head.put(0, n), head.put(4, 12 + 75000 + 32 * n), head.put(8, 12 + 75000);
  head.bytes[12 + 70000] = 0xEF;  // block 560004 is the only free one
  head.bytes[12 + 74999] = 0x7F;  // bit 7 of the last byte stands for no block
  spit(img, head.bytes), spit(in, {1});
  std::filesystem::resize_file(img, 12 + 75000 + 4128ull * n);
  ASSERT_TRUE(storeFile(host, "one", img.c_str(), in.c_str()).ok());
  EXPECT_EQ(storeFile(host, "two", img.c_str(), in.c_str()).code, Error::NoSpace);
  std::unique_ptr<File> f;
  Bytes now(head.bytes.size() + 32), again(now.size());
  ASSERT_TRUE(host.open(img.c_str(), OpenMode::Read, &f).ok());
  ASSERT_TRUE(readExact(*f, 0, now.data(), now.size()).ok());
  EXPECT_EQ(now[12 + 70000], 0xFF);
  EXPECT_EQ(now[12 + 75000], 0x84);  // the entry: firstBlock 560004 = 0x88B84
  std::filesystem::resize_file(in, 1ull << 32);
  EXPECT_EQ(storeFile(host, "huge", img.c_str(), in.c_str()).code, Error::FileTooLarge);
  ASSERT_TRUE(readExact(*f, 0, again.data(), again.size()).ok());
  EXPECT_EQ(again, now);
}

}  // namespace
}  // namespace korvane::test
