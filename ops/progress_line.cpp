#include "ops/progress_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace korvane {
namespace {

using namespace std::chrono_literals;
constexpr auto Quiet = 1s;        // copies shorter than this show nothing
constexpr auto Interval = 250ms;  // between two drawings

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
    : enabled_(::isatty(STDERR_FILENO) == 1 && !isStandardError(hostPath)) {}

void ProgressLine::advance(uint64_t done, std::optional<uint64_t> total) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  if (now - start_ < Quiet || (width_ > 0 && now - drawnAt_ < Interval)) return;
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
  // in one piece so it never shows half drawn.
  std::string line = std::string("\r") + text;
  size_t width = line.size() - 1;
  if (width < width_) line.append(width_ - width, ' ');
  width_ = std::max(width, width_);
  std::cerr << line << std::flush;
}

void ProgressLine::clear() {
  if (width_ == 0) return;
  std::cerr << '\r' << std::string(width_, ' ') << '\r' << std::flush;
  width_ = 0;
}

}  // namespace korvane
