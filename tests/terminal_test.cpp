// The console, long copies and lock waits as a person at a terminal sees
// them: keys are typed into a pseudo-terminal and the screen is read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/images.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

// A shell command run in `dir` with every standard stream on a new
// pseudo-terminal, `columns` wide if given; $K names the program.
class Terminal {
 public:
  Terminal(const TempDir& dir, const std::string& command, unsigned short columns = 0) {
    winsize size{24, columns, 0, 0};
    pid_ = forkpty(&master_, nullptr, nullptr, columns ? &size : nullptr);
    if (pid_ != 0) return;
    if (chdir(dir.path.c_str()) != 0) _exit(127);
    setenv("K", KORVANE_BINARY, 1);
    setenv("TERM", "xterm", 1);
    setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ~Terminal() {
    close(master_);
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  // Types `keys`, then waits for `shown` to appear on the screen after
  // what was there before; false if it does not within 10 s.
  bool type(const std::string& keys, const std::string& shown) {
    size_t from = screen_.size();
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (screen_.find(shown, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end || !readSome(100)) return false;
    }
    return true;
  }
  // Everything the screen got, once the program has ended (within 10 s).
  const std::string& finish() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readSome(100) && std::chrono::steady_clock::now() < end) {
    }
    // The terminal hangs up as the program exits, a moment before it can be reaped.
    for (int i = 0; i < 50 && !ended_; ++i) ended_ = waitpid(pid_, nullptr, WNOHANG) == pid_ || (usleep(100000), false);
    if (ended_) pid_ = -1;
    return screen_;
  }
  bool ended() const { return ended_; }

 private:
  bool readSome(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, ms) < 0) return false;
    char buf[4096];
    ssize_t n = (p.revents & (POLLIN | POLLHUP)) ? read(master_, buf, sizeof buf) : 0;
    if (n > 0) screen_.append(buf, static_cast<size_t>(n));
    return n > 0 || !(p.revents & POLLHUP);
  }
  int master_ = -1;
  pid_t pid_ = -1;
  bool ended_ = false;
  std::string screen_;
};

// Bytes that stall past the first second, so a copy of them draws, and then `more`.
std::string stalling(const std::string& more = "") {
  return "(head -c 3000000 /dev/zero; sleep 1.5; head -c 3000000 /dev/zero" + more + ")";
}

const std::string Left = "\x1b[D", Up = "\x1b[A", Prompt = "\r\n>";

TEST(Terminal, EditsCompletesDropsAndRecallsAcrossSessions) {
#ifndef KORVANE_LINE_EDITING
  GTEST_SKIP() << "built without libedit: the console does not edit lines";
#endif
  TempDir dir;
  spit(dir.file("notes.txt"), pattern(100, 1));
  Disk repeats(4);  // a damaged table lists "notes" twice, after "zed"
  repeats.file("zed", {0}, 1), repeats.file("notes", {1}, 1), repeats.entry("notes", 1, 1, 1);
  spit(dir.file("r.img"), repeats.bytes);
  {
    Terminal t(dir, "\"$K\" -c -s 16000 -o d.img >/dev/null && \"$K\" -w notes notes.txt -o d.img "
                    "&& " + stalling("; sleep 2") + " | exec \"$K\" 3<&0 </dev/tty");
    ASSERT_TRUE(t.type("", "try typing \"help\"" + Prompt));
    // A command word, a host path, then a stored name, each from a few letters.
    EXPECT_TRUE(t.type("mou\t", "nt "));
    EXPECT_TRUE(t.type("d.i\t", "mg "));
    EXPECT_TRUE(t.type("\r", "Disk d.img mounted" + Prompt));
    EXPECT_TRUE(t.type("read copy.txt no\t", "tes "));
    EXPECT_TRUE(t.type("\r", "File copy.txt created succefully!" + Prompt));
    EXPECT_EQ(slurp(dir.file("copy.txt")), slurp(dir.file("notes.txt")));
    // A letter put back in the middle of a line with the arrow keys.
    EXPECT_TRUE(t.type("shwFiles" + Left + Left + Left + Left + Left + Left + "o\r",
                       "FILE NAME      SIZE\r\n"));
    // Keys typed during a copy show nowhere; Ctrl-C throws away those typed
    // before it, and the rest wait for the next prompt.
    EXPECT_TRUE(t.type("write big /dev/fd/3\r", " MiB/s"));
    EXPECT_TRUE(t.type("ab\x03help\r", ">help\r\n>Korvane help:"));
    // Ctrl-C drops the half-typed line and the write waiting for it: the
    // next word is a command again.
    EXPECT_TRUE(t.type("write a\r", "\r\n"));
    usleep(300000);  // waiting for a word shows nothing: give it time to start
    EXPECT_TRUE(t.type("b\x03", "^C" + Prompt));
    EXPECT_TRUE(t.type("unmount\r", "Disk unmounted" + Prompt));
    // Choices are listed sorted, each once.
    EXPECT_TRUE(t.type("mount r.img\r", "Disk r.img mounted" + Prompt));
    EXPECT_TRUE(t.type("read x \t", "notes  zed  "));
    EXPECT_TRUE(t.type("n\t", "otes "));
    EXPECT_TRUE(t.type("\x03", "^C" + Prompt));
    EXPECT_TRUE(t.type("unmount\r", "Disk unmounted" + Prompt));
    // Ctrl-D on an empty line ends the console, and its line, so the shell's
    // prompt starts on a line of its own. Keys typed while a command still
    // runs reach a terminal not yet in the editor's hands: give it time.
    usleep(300000);
    EXPECT_TRUE(t.type("\x04", "^D\r\n"));
    const std::string& s = t.finish();
    EXPECT_TRUE(t.ended()) << s;
    size_t from = s.find("write big /dev/fd/3");
    std::string during = s.substr(from, s.find(">help\r\n>Korvane help:") - from);
    for (const char* typed : {"ab", "^C", "help"})
      EXPECT_EQ(during.find(typed), std::string::npos) << during;
  }
  Terminal t(dir, "exec \"$K\"");
  ASSERT_TRUE(t.type("", "try typing \"help\"" + Prompt));
  EXPECT_TRUE(t.type(Up, "unmount"));
  EXPECT_TRUE(t.type("\r", "There is no mounted disk" + Prompt));
  EXPECT_TRUE(t.type("exit\r", "exit\r\n"));
  EXPECT_EQ(t.finish().find("Command not recognized"), std::string::npos);
}

std::string slowStore(const std::string& name) {
  return stalling() + " | \"$K\" -w " + name + " /dev/stdin -o d.img";
}

TEST(Terminal, LongCopyShowsProgressOnlyOnATerminalAndWipesIt) {
  TempDir dir;
  std::string screen = Terminal(dir, "\"$K\" -c -s 16000 -o d.img >/dev/null && " + slowStore("big") +
                                          " && { stty -a | grep -q ' echo ' || echo silent; }").finish();
  EXPECT_NE(screen.find(" MiB, "), std::string::npos) << screen;
  EXPECT_NE(screen.find(" MiB/s"), std::string::npos) << screen;
  // Wiped at the end with blanks as wide as the line, and nothing after:
  // the terminal echoes again.
  size_t wipe = screen.rfind('\r', screen.size() - 2);
  ASSERT_NE(wipe, std::string::npos);
  EXPECT_EQ(screen.substr(wipe), "\r" + std::string(screen.size() - wipe - 2, ' ') + "\r");
  EXPECT_GE(screen.size() - wipe - 2, screen.find('\r', 1) - 1);

  // On a pipe, the same store and a read say exactly what they always have.
  std::string run = "cd '" + dir.path.string() + "' && K='" KORVANE_BINARY "' && export K && ";
  ASSERT_EQ(std::system((run + "(" + slowStore("big2") + ") 2>&1 | cat >out.txt").c_str()), 0);
  EXPECT_TRUE(slurp(dir.file("out.txt")).empty());
  ASSERT_EQ(std::system((run + "\"$K\" -r back big2 -o d.img 2>&1 | cat >out.txt").c_str()), 0);
  std::string said = "File back created succefully!\n";
  EXPECT_EQ(slurp(dir.file("out.txt")), Bytes(said.begin(), said.end()));
  EXPECT_EQ(slurp(dir.file("back")).size(), 6000000u);

  // Ctrl-C ends a store outside the console, Ctrl-Z stops it: either way
  // the line is wiped first, and the terminal echoes again. On a narrow
  // terminal the line is cut to fit: wrapped, it would be out of reach.
  for (const char* key : {"\x03", "\x1a"}) {
    Terminal c(dir, "\"$K\" -c -s 16000 -o e.img >/dev/null; sh -ic 'trap : INT; " +
                        stalling("; sleep 3") + " | \"$K\" -w big /dev/stdin -o e.img; "
                        "stty -a | grep -q \" echo \" && echo echoing'", 16);
    ASSERT_TRUE(c.type("", " MiB"));
    ASSERT_TRUE(c.type(key, "echoing"));
    screen = c.finish();
    screen.resize(screen.find("echoing"));
    size_t wipe = screen.rfind('\r', screen.size() - 2);
    EXPECT_EQ(screen.substr(wipe), "\r" + std::string(screen.size() - wipe - 2, ' ') + "\r");
    for (size_t at = 0, next; (next = screen.find('\r', at + 1)) != std::string::npos; at = next)
      EXPECT_LE(next - at, 16u) << screen;
  }
}

TEST(Terminal, WaitForAnotherRunsLockIsToldOnlyAtATerminal) {
  TempDir dir;
  spit(dir.file("d.img"), Disk(1).bytes);
  int held = open(dir.file("d.img").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  Terminal t(dir, "\"$K\" -f -o d.img 2>&1 | cat >piped.txt & \"$K\" -f -o d.img; wait");
  std::string said = "korvane: d.img is in use by another process; waiting up to 30 s...\r\n";
  EXPECT_TRUE(t.type("", said));
  usleep(300000);  // the piped run, started alongside, waits by now too
  close(held);
  std::string listing = "  NR           FILE NAME      SIZE\n";
  EXPECT_EQ(t.finish(), said + "  NR           FILE NAME      SIZE\r\n");
  EXPECT_EQ(slurp(dir.file("piped.txt")), Bytes(listing.begin(), listing.end()));
}

}  // namespace
}  // namespace korvane::test
