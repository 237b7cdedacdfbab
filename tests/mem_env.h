// The one test environment: files held in memory, with fault plans, for the
// unit tests and the fuzz targets alike. It polices the image code too: a
// write through a file opened to read, or one that would grow an existing
// image (opened ReadWrite), stops the run at once.
#pragma once

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/env.h"

// Stops the run with the failed condition on standard error.
#define MEM_CHECK(cond)                                                            \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                            \
    }                                                                              \
  } while (0)

namespace korvane::test {

using Bytes = std::vector<unsigned char>;

// Crash: the N-th write (writev, reserve, zeroRange, truncate) lands only
// its first `keep` bytes, and every call after it fails with EIO, as if the
// power went. Fail: the N-th call of any kind fails with `err`, once or from
// then on. Busy: every lock() gives Locked, as if another run held it.
struct Plan {
  long crashAtWrite = 0;  // 1-based; 0: never
  size_t keep = 0;
  long failAtCall = 0;  // 1-based; 0: never
  int err = EIO;
  bool stays = false;
  bool lockBusy = false;
};

// One write-like call ('w' writev, 'r' reserve, 'z' zeroRange, 't'
// truncate) or 's' sync, as asked for, on any file.
struct Event {
  char kind;
  uint64_t offset, len;
};

class MemEnv final : public Env {
 public:
  explicit MemEnv(Plan p = {}) : plan(p) {}
  // Starts counting afresh under a new plan; the files stay.
  void reset(Plan p = {}) {
    plan = p;
    writes = calls = 0;
    crashed = false;
    failed = "";
    trace.clear();
  }

  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override;
  Status stat(const char* path, FileId* id) override;
  Status linkStat(const char* path, FileId* id) override { return stat(path, id); }
  Status remove(const char* path) override;

  void put(const std::string& path, Bytes bytes);
  // The bytes at `path`, or nullptr when there is none.
  const Bytes* get(const std::string& path) const;

  // Counts a call, failing it as the plan says.
  Status gate(const char* what);
  // Counts a write; true when it is the crash (crashOffset/Len tell which).
  bool crashHere(uint64_t offset, uint64_t len);

  Plan plan;
  long writes = 0, calls = 0;
  bool crashed = false;
  uint64_t crashOffset = 0, crashLen = 0;
  const char* failed = "";  // the kind of call that failed first
  std::vector<Event> trace;
  struct Node;

 private:
  std::map<std::string, std::shared_ptr<Node>> files_;
  unsigned long long nextInode_ = 1;
};

}  // namespace korvane::test
