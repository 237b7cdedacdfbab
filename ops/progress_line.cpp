#include "ops/progress_line.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

namespace korvane {
namespace {

using namespace std::chrono_literals;
constexpr auto Quiet = 1s;        // copies shorter than this show nothing
constexpr auto Interval = 250ms;  // between two drawings

// What a signal that stops or ends the program needs to leave the terminal
// as it was, kept where its handler can read it: one line drawn at a time,
// so one of each.
volatile sig_atomic_t shownWidth = 0;  // columns of the line, 0 when there is none
volatile sig_atomic_t echoOff = 0;     // the terminal's echo is ours to turn back on
termios ownModes;                      // the terminal's modes before, echo included
constexpr int Signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP};

// Whether this program has the terminal in the foreground: one in the
// background that changes the terminal's modes is stopped, and would take
// the shell's.
bool foreground() { return ::tcgetpgrp(STDERR_FILENO) == ::getpgrp(); }

// Blanks over the line and back to its start. Only calls that a signal
// handler may make, here and below.
void wipe() {
  static const char blanks[] = "                                ";
  constexpr int many = sizeof blanks - 1;
  if (shownWidth == 0) return;
  ssize_t ignored = ::write(STDERR_FILENO, "\r", 1);
  for (int left = shownWidth; left > 0; left -= many)
    ignored = ::write(STDERR_FILENO, blanks, static_cast<size_t>(std::min(left, many)));
  ignored = ::write(STDERR_FILENO, "\r", 1);
  (void)ignored;  // nothing to be done about a screen that cannot be written
  shownWidth = 0;
}

void quietEcho() {
  if (!foreground() || ::tcgetattr(STDERR_FILENO, &ownModes) != 0) return;
  termios quiet = ownModes;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  echoOff = 1;  // first, so that a signal on the way puts the echo back
  // Not TCSAFLUSH: what was typed already is kept for the next prompt.
  if (::tcsetattr(STDERR_FILENO, TCSANOW, &quiet) != 0) echoOff = 0;
}

void restoreEcho() {
  if (echoOff && foreground()) ::tcsetattr(STDERR_FILENO, TCSANOW, &ownModes);
  echoOff = 0;
}

void onSignal(int sig) {
  int savedErrno = errno;
  wipe();
  bool wasQuiet = echoOff;
  restoreEcho();
  // Now what the signal means: the end, or a stop until continued.
  ::signal(sig, SIG_DFL);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, sig);
  ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
  ::raise(sig);
  ::signal(sig, onSignal);
  if (wasQuiet) quietEcho();  // the line comes back at the next drawing
  errno = savedErrno;
}

// Whether `path` names the terminal standard error writes to.
bool isStandardError(const char* path) {
  struct stat a, b;
  return ::stat(path, &a) == 0 && ::fstat(STDERR_FILENO, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// `bytes` in binary units with three significant digits or so.
std::string amount(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (bytes >= 1024 && u < 3) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(const char* hostPath)
    : enabled_(::isatty(STDERR_FILENO) == 1 && !isStandardError(hostPath)) {
  if (!enabled_) return;
  // Signals the console ignores (its Ctrl-C) stay ignored.
  for (size_t i = 0; i < std::size(Signals); ++i) {
    struct sigaction was;
    if (::sigaction(Signals[i], nullptr, &was) == 0 && was.sa_handler == SIG_DFL &&
        ::signal(Signals[i], onSignal) != SIG_ERR)
      caught_ |= 1u << i;
  }
  quietEcho();
}

ProgressLine::~ProgressLine() {
  if (!enabled_) return;
  wipe();
  restoreEcho();
  for (size_t i = 0; i < std::size(Signals); ++i)
    if (caught_ & (1u << i)) ::signal(Signals[i], SIG_DFL);
}

void ProgressLine::advance(uint64_t done, std::optional<uint64_t> total) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  if (now - start_ < Quiet || (shownWidth > 0 && now - drawnAt_ < Interval)) return;
  drawnAt_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  std::string text = amount(static_cast<double>(done));
  if (total && *total > 0) {
    char percent[16];
    std::snprintf(percent, sizeof percent, " (%d%%)", static_cast<int>(done * 100 / *total));
    text += " of " + amount(static_cast<double>(*total)) + percent;
  }
  text += ", " + amount(static_cast<double>(done) / seconds) + "/s";
  draw(text.c_str());
}

void ProgressLine::draw(const char* text) {
  // Blanks wipe what a longer earlier line left; the line is written whole
  // in one piece so it never shows half drawn. It is cut to the terminal's
  // width: wrapped, its first row would be out of reach of "\r".
  std::string line = std::string("\r") + text;
  size_t shown = static_cast<size_t>(shownWidth);
  winsize size;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
    // The last column stays free: some terminals wrap as soon as it is written.
    line.resize(std::min<size_t>(line.size(), size.ws_col));
    shown = std::min<size_t>(shown, size.ws_col - 1u);
  }
  size_t width = line.size() - 1;
  if (width < shown) line.append(shown - width, ' ');
  // Counted before it shows, so a signal on the way wipes all of it.
  shownWidth = static_cast<sig_atomic_t>(std::max(width, shown));
  std::cerr << line << std::flush;
}

}  // namespace korvane
