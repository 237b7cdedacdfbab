// The line a long copy draws on a terminal to show it is alive.
#pragma once

#include <chrono>
#include <cstddef>

#include "image/progress.h"

namespace korvane {

// Draws the bytes done, the total when known, the percentage and the rate on
// one line of standard error, but only when standard error is a terminal,
// only once the copy has run for a second, and a few times a second at most;
// a short copy draws nothing. The line is wiped by clear() or at the latest
// by the destructor, so the messages that follow land where they always did
// and the screen is left as it would be without it.
class ProgressLine : public Progress {
 public:
  // `hostPath` is the file copied in or out: when it is the terminal itself,
  // the line would be drawn into the copied bytes, so nothing is drawn.
  explicit ProgressLine(const char* hostPath);
  ~ProgressLine() override { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void advance(uint64_t done, std::optional<uint64_t> total) override;
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  void draw(const char* text);

  bool enabled_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point drawnAt_;
  size_t width_ = 0;  // columns of the line on the screen, 0 when there is none
};

}  // namespace korvane
