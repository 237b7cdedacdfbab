// Hostile surroundings rather than hostile images: the programs started with
// a standard stream closed, stored names meant to steer a terminal, and an
// image name after "--". Each row runs one program on a fresh copy of one
// image whose 100 leaked blocks make the checker's report longer than a
// stdio buffer, so a report sent to the wrong descriptor reaches the image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/images.h"
#include "tests/judge.h"

namespace korvane {
namespace {

const std::string Name = "x\033[31my\nz";  // an escape sequence and a line end

enum Out { Pipe, Terminal };

struct Case {
  const char* program;
  std::vector<std::string> args;
  int closed;  // the descriptor the program starts without, or -1
  Out out;
  int code;
  bool mends;         // the image must check clean afterwards, else be unchanged
  const char* shows;  // the exact standard output, or nullptr when not checked
};

// Runs the program in `dir` with stdin and stderr on /dev/null and stdout on
// a pipe or a terminal; then shuts `closed`. Returns the exit code.
int run(const test::TempDir& dir, const Case& r, std::string* out) {
  int fds[2];
  bool made = r.out == Terminal ? openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) == 0
                                 : pipe(fds) == 0;
  if (!made) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (chdir(dir.path.c_str()) != 0 || dup2(null, 0) < 0 || dup2(fds[1], 1) < 0 ||
        dup2(null, 2) < 0)
      _exit(126);
    close(null), close(fds[0]), close(fds[1]);
    if (r.closed >= 0) close(r.closed);
    std::vector<char*> argv{const_cast<char*>(r.program)};
    for (const auto& a : r.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(r.program, argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out->append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HostileInput, Table) {
  std::vector<Case> runs = {
      {KORVANE_BINARY, {"-f", "-o", "d.img"}, -1, Pipe, 0, false,
       "  NR           FILE NAME      SIZE\n   1           x\033[31my\nz      0.00 kB\n"},
      {KORVANE_BINARY, {"-f", "-o", "d.img"}, -1, Terminal, 0, false,
       "  NR           FILE NAME      SIZE\r\n   1           x?[31my?z      0.00 kB\r\n"},
      {FSCK_BINARY, {"-n", "--", "-n.img"}, -1, Pipe, 4, false, nullptr},
  };
  for (int fd = 0; fd <= 2; ++fd) {
    runs.push_back({KORVANE_BINARY, {"-w", Name, "h", "-o", "d.img"}, fd, Pipe, 0, false, nullptr});
    runs.push_back({KORVANE_BINARY, {"-m", "-o", "d.img"}, fd, Pipe, 0, false, nullptr});
    runs.push_back({FSCK_BINARY, {"-y", "d.img"}, fd, Pipe, 1, true, nullptr});
  }

  test::TempDir dir;
  test::Bytes base = test::Disk(200).bytes;
  std::fill_n(base.begin() + 12, 25, 0x55);  // every other block used, by no file
  test::spit(dir.file("d.img"), base);
  test::spit(dir.file("h"), {});
  std::string ignored;
  Case store{KORVANE_BINARY, {"-w", Name, "h", "-o", "d.img"}, -1, Pipe, 0, false, nullptr};
  ASSERT_EQ(run(dir, store, &ignored), 0);
  base = test::slurp(dir.file("d.img"));
  std::filesystem::copy_file(dir.file("d.img"), dir.file("-n.img"));

  for (const Case& r : runs) {
    std::string where = std::string(r.program) + " " + r.args[0] + " " + r.args[1] +
                        ", closed fd " + std::to_string(r.closed) + (r.out ? ", terminal" : "");
    test::spit(dir.file("d.img"), base);
    std::string out, check;
    EXPECT_EQ(run(dir, r, &out), r.code) << where;
    EXPECT_TRUE(!r.shows || out == r.shows) << where << ": printed\n" << out;
    int sound = r.mends ? run(dir, {FSCK_BINARY, {"-n", "d.img"}, -1, Pipe, 0, 0, 0}, &check) : 0;
    EXPECT_EQ(sound, 0) << where << ": not mended\n" << check;
    EXPECT_TRUE(r.mends || test::slurp(dir.file("d.img")) == base) << where << ": changed";
  }
}

}  // namespace
}  // namespace korvane
