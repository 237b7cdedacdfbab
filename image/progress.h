// How a long copy tells its caller how far it has got, without printing.
#pragma once

#include <cstdint>
#include <optional>

namespace korvane {

// Watches a copy: told after each run it moves (about 1 MiB) how many bytes
// are done, and the whole when it is known in advance (a pipe's is not).
// It only watches: it cannot fail the copy nor stop it, so whatever it does
// (drawing on a terminal, or nothing), the image ends up the same.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void advance(uint64_t done, std::optional<uint64_t> total) = 0;
};

}  // namespace korvane
