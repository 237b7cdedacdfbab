// The real host: processes sharing an image and its lock, a full file system,
// a file-size limit, the mapped read window, an image shortened under a run,
// and files too large to build in memory (sparse here).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

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

// Runs `op` in a child whose files may not grow past `limit` (SIGXFSZ
// ignored); "" when it printed `lines` lines, else what it printed.
std::string printed(const std::function<void()>& op, int lines = 1, rlim_t limit = RLIM_INFINITY) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  if (fork() == 0) {
    rlimit rl{limit, limit};
    signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &rl), dup2(fds[1], 1), dup2(fds[1], 2);
    op(), std::cout.flush(), _exit(0);
  }
  close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, size_t(n));
  close(fds[0]), wait(nullptr);
  return std::count(said.begin(), said.end(), '\n') == lines ? "" : said + "(lines)";
}

// Four processes store, read back and erase files of their own, with status
// reports between; nothing is lost or half seen.
TEST(Host, ProcessesSharingAnImageLoseNothing) {
  TempDir dir;
  std::string img = dir.file("d.img");
  spit(img, Disk(96).bytes);
  Files want;
  for (int c = 0; c < 4; ++c) {
    auto name = [c](int i) { return "p" + std::to_string(c) + "-" + std::to_string(i); };
    for (int i = 0; i < 16; i += 2) want[name(i)] = pattern(i * 401 + c, i);
    if (fork() != 0) continue;
    std::string in = dir.file("in" + name(0)), out = dir.file("out" + name(0));
    bool ok = true;
    for (int i = 0; i < 16 && ok; ++i) {
      StatReport r;
      spit(in, pattern(i * 401 + c, i));
      ok = storeFile(host, name(i), img.c_str(), in.c_str()).ok() && statImage(host, img.c_str(), &r).ok() &&
           fetchFile(host, img.c_str(), out.c_str(), name(i)).ok() && slurp(out) == slurp(in) &&
           (i % 2 == 0 || eraseAll(host, img.c_str(), name(i)).ok()) && listed(host, img.c_str()).size() >= 1;
    }
    _exit(ok ? 0 : 1);
  }
  for (int c = 0, status; c < 4; ++c) EXPECT_TRUE(wait(&status) > 0 && WIFEXITED(status) && !WEXITSTATUS(status));
  EXPECT_EQ(judgeFile(img, want), "");
}

// Writers (and a delete) wait for readers and readers for writers, then go on; readers never
// wait for each other; the checker gives up after its own wait.
TEST(Host, LocksAreWaitedFor) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  Disk d(8);
  d.file("a", {0, 1}, 5000);
  spit(img, d.bytes), spit(in, pattern(3000, 1));
  const std::tuple<int, bool, int, std::function<void()>> cases[] = {  // held, waits, lines printed, operation
      {LOCK_EX, true, 2, [&] { showFiles(img.c_str()); }}, {LOCK_SH, true, 0, [&] { writeFile("b", img.c_str(), in.c_str()); }},
      {LOCK_SH, false, 1, [&] { readFile(img.c_str(), out.c_str(), "b"); }},
      {LOCK_SH, true, 1, [&] { eraseFile(img.c_str(), "b"); }},
      {LOCK_SH, true, 1, [&] { deleteDisk(img.c_str()), spit(img, d.bytes); }},
      {LOCK_SH, true, 4, [&] { createDisk(img.c_str(), 8); }}};
  for (const auto& [how, waits, lines, op] : cases) {
    pid_t holder = fork();
    if (holder == 0) flock(open(img.c_str(), O_RDONLY), how), usleep(waits ? 200000 : 5000000), _exit(0);
    int fd = open(img.c_str(), O_RDONLY);  // until the holder has it
    while (flock(fd, LOCK_EX | LOCK_NB) == 0) flock(fd, LOCK_UN), usleep(1000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(printed(op, lines), "");
    auto ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
    EXPECT_TRUE(waits ? ms >= 150 && ms < 10000 : ms < 2500) << ms << " ms";
    kill(holder, SIGKILL), waitpid(holder, nullptr, 0), close(fd);
  }
  EXPECT_EQ(judgeFile(img, {}), "");
  std::unique_ptr<File> f;
  std::vector<Finding> found;
  CheckSummary sum;
  ASSERT_TRUE(host.open(img.c_str(), OpenMode::Read, &f).ok() && f->lock(LockMode::Shared, 0).ok());
  EXPECT_EQ(checkImage(host, img.c_str(), {.lockWaitMs = 50}, &found, &sum).code, Error::Locked);
}

// Create, write and read out meet a file-size limit, then a full disk: one
// line each, no half file, the image as it was.
TEST(Host, FileSizeLimitAndFullDisk) {
  TempDir dir, fs;
  std::string img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  Disk empty(300), full(300);
  full.file("big", blocks(147), 600000);
  spit(img, empty.bytes), spit(in, full.keep["big"]);
  EXPECT_EQ(printed([&] { createDisk(dir.file("big.img").c_str(), 1024); }, 1, 256 << 10), "");
  EXPECT_EQ(printed([&] { writeFile("big", img.c_str(), in.c_str()); }, 1, 256 << 10), "");
  EXPECT_EQ(slurp(img), empty.bytes);
  spit(img, full.bytes);
  EXPECT_EQ(printed([&] { readFile(img.c_str(), out.c_str(), "big"); }, 1, 256 << 10), "");
  EXPECT_FALSE(std::filesystem::exists(out) || std::filesystem::exists(dir.file("big.img")));
  EXPECT_EQ(slurp(img), full.bytes);

  if (mount("tmpfs", fs.path.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): full-disk cases not run";
  img = fs.file("d.img"), out = fs.file("out");
  auto fill = [&](off_t room) {  // the disk full but for `room` bytes
    int fd = open(fs.file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    off_t total = 0;
    for (ssize_t n; (n = write(fd, full.bytes.data(), 4096)) > 0;) total += n;
    EXPECT_EQ(ftruncate(fd, std::max<off_t>(0, total - room)) | close(fd), 0);
  };
  EXPECT_EQ(printed([&] { createDisk(fs.file("big.img").c_str(), 1024); }), "");
  // An image made before the disk filled up has its space already.
  spit(in, pattern(60000, 1)), printed([&] { createDisk(img.c_str(), 160); }), fill(0);
  EXPECT_EQ(printed([&] { writeFile("w", img.c_str(), in.c_str()); }, 0), "");
  EXPECT_EQ(judgeFile(img, {{"w", pattern(60000, 1)}}), "");
  Bytes stored = slurp(img);
  fill(16384);
  EXPECT_EQ(printed([&] { readFile(img.c_str(), out.c_str(), "w"); }), "");
  EXPECT_FALSE(std::filesystem::exists(out) || std::filesystem::exists(fs.file("big.img")));
  EXPECT_EQ(slurp(img), stored);
  // A sparse image, whose blocks were never given space, meets a full disk.
  Disk sparse(40);
  std::filesystem::remove(img), spit(img, Bytes(sparse.bytes.begin(), sparse.bytes.begin() + long(sparse.block(0))));
  std::filesystem::resize_file(img, sparse.bytes.size()), fill(0);
  EXPECT_EQ(printed([&] { writeFile("w", img.c_str(), in.c_str()); }), "");
  EXPECT_EQ(judgeFile(img, {}), "");
  umount2(fs.path.c_str(), MNT_DETACH);
}

// Small reads come from a mapped 4 MiB window: a chain that jumps back and
// forth across a window's edge, and a store across it. Another program then
// shortens the image: reads fail, and nothing crashes.
TEST(Host, ReadWindowAndAShortenedImage) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in"), out = dir.file("out");
  Disk d(1100);  // block 1015 straddles 4 MiB; its link lies past it
  Bytes x = d.file("x", {1010, 1020, 1011, 1021, 1015, 3}, 6 * 4092 - 9), y = pattern(4 << 20, 5);
  spit(img, d.bytes), spit(in, y);
  ASSERT_TRUE(fetchFile(host, img.c_str(), out.c_str(), "x").ok() && slurp(out) == x);
  ASSERT_TRUE(storeFile(host, "y", img.c_str(), in.c_str()).ok() && eraseAll(host, img.c_str(), "x").ok());
  ASSERT_TRUE(fetchFile(host, img.c_str(), out.c_str(), "y").ok() && slurp(out) == y);
  EXPECT_EQ(judgeFile(img, {{"y", y}}), "");
  std::unique_ptr<File> f;
  unsigned char link[4];
  ASSERT_TRUE(host.open(img.c_str(), OpenMode::Read, &f).ok() && readExact(*f, d.block(1015) + 4092, link, 4).ok());
  Bytes maps = slurp("/proc/self/maps"), buf(200);
  EXPECT_NE(std::string(maps.begin(), maps.end()).find(img), std::string::npos) << "small reads are not mapped";
  ASSERT_EQ(truncate(img.c_str(), 4096), 0);
  EXPECT_FALSE(readExact(*f, d.block(1015) + 4092, link, 4).ok() || readExact(*f, 5000, link, 4).ok());
  size_t got = 0;  // a read across the end gets what there is
  EXPECT_TRUE(readAt(*f, 4000, buf.data(), 200, &got).ok() && got == 96);
  EXPECT_EQ(fetchFile(host, img.c_str(), out.c_str(), "y").code, Error::Damaged);
  // A file closed and then dropped closes no descriptor a second time.
  bool input = fcntl(0, F_GETFD) != -1;
  ASSERT_TRUE(f->close().ok());
  int next = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the number f had
  f.reset();
  EXPECT_TRUE(fcntl(next, F_GETFD) != -1 && (fcntl(0, F_GETFD) != -1) == input);
  close(next);
}

// A bitmap longer than one 64 kB read window, and a host file of 4 GiB.
TEST(Host, HugeSparseFiles) {
  TempDir dir;
  std::string img = dir.file("d.img"), in = dir.file("in");
  Disk head(0);  // 599,999 blocks, all used but block 560004; bit 7 of the last byte is no block
  head.bytes.assign(12 + 75000 + 32, 0xFF);
  head.put(0, 599999), head.put(4, 12 + 75000 + 32 * 599999), head.put(8, 12 + 75000);
  head.bytes[12 + 70000] = 0xEF, head.bytes[12 + 74999] = 0x7F;
  spit(img, head.bytes), spit(in, {1});
  std::filesystem::resize_file(img, 12 + 75000 + 4128ull * 599999);
  ASSERT_TRUE(storeFile(host, "one", img.c_str(), in.c_str()).ok());
  EXPECT_EQ(storeFile(host, "two", img.c_str(), in.c_str()).code, Error::NoSpace);
  std::filesystem::resize_file(in, 1ull << 32);
  EXPECT_EQ(storeFile(host, "huge", img.c_str(), in.c_str()).code, Error::FileTooLarge);
  std::unique_ptr<File> f;
  Bytes now(head.bytes.size());
  ASSERT_TRUE(host.open(img.c_str(), OpenMode::Read, &f).ok() && readExact(*f, 0, now.data(), now.size()).ok());
  head.bytes[12 + 70000] = 0xFF, head.entry("one", 560004, 1, 1);
  EXPECT_EQ(now, head.bytes);
  // The most blocks an image may have, and one more.
  for (uint32_t n : {1040415u, 1040416u}) {
    uint32_t start = 12 + (n + 7) / 8;
    head.bytes.assign(start, 0), head.put(0, n), head.put(4, start + 32 * n), head.put(8, start);
    spit(img, head.bytes), std::filesystem::resize_file(img, start + 4128ull * n);
    StatReport r;
    EXPECT_EQ(statImage(host, img.c_str(), &r).code, n == 1040415 ? Error::Ok : Error::Damaged) << n;
  }
}

}  // namespace
}  // namespace korvane::test
