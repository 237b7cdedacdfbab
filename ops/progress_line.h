// The line a long copy draws on a terminal to show it is alive.
#pragma once

#include <chrono>
#include <cstddef>

#include "image/progress.h"

namespace korvane {

// Draws the bytes done, the total when known, the percentage and the rate on
// one line of standard error, but only when standard error is a terminal,
// only once the copy has run for a second, and a few times a second at most;
// a short copy draws nothing. The line is wiped by the destructor, so the
// messages that follow land where they always did and the screen is left as
// it would be without it.
//
// Keys typed during the copy would be echoed into the line and outlive its
// wiping, so while it exists the terminal (when this program has it in the
// foreground) does not echo them; they wait unseen for whoever reads the
// terminal next, the console's prompt or the shell's, except those a Ctrl-C
// throws away. The echo comes back, and the line is wiped, by the destructor,
// or when a hang-up, a kill or a Ctrl-C not ignored ends the program on the
// way, or a Ctrl-Z stops it (to be drawn again, unechoed, once continued in
// the foreground). One exists at a time.
class ProgressLine : public Progress {
 public:
  // `hostPath` is the file copied in or out: when it is the terminal itself,
  // the line would be drawn into the copied bytes, so nothing is drawn.
  explicit ProgressLine(const char* hostPath);
  ~ProgressLine() override;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void advance(uint64_t done, std::optional<uint64_t> total) override;

 private:
  using Clock = std::chrono::steady_clock;
  void draw(const char* text);

  bool enabled_;
  unsigned caught_ = 0;  // a bit for each signal handled here, which was not before
  Clock::time_point start_ = Clock::now();
  Clock::time_point drawnAt_;
};

}  // namespace korvane
