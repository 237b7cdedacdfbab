// An environment held in memory, for the fuzz targets: every path is a byte
// vector, so an operation costs no system call. It also polices the image
// code: a write through a file opened for reading, or one that would grow or
// cut a file opened ReadWrite (an existing image), stops the run at once,
// since the code must never change an image's length.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/env.h"

// Stops the fuzz run with the failed condition on standard error.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

namespace korvane::fuzz {

struct MemNode {
  std::vector<unsigned char> bytes;
  unsigned long long inode = 0;
};

class MemEnv final : public Env {
 public:
  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override;
  Status stat(const char* path, FileId* id) override;
  // No path is a link here.
  Status linkStat(const char* path, FileId* id) override { return stat(path, id); }
  Status remove(const char* path) override;

  // Puts `bytes` at `path`, replacing what was there.
  void put(const std::string& path, std::vector<unsigned char> bytes);
  // The bytes at `path`, or nullptr when there is no such file.
  const std::vector<unsigned char>* get(const std::string& path) const;
  void clear() { files_.clear(); }

 private:
  std::map<std::string, std::shared_ptr<MemNode>> files_;
  unsigned long long nextInode_ = 1;
};

}  // namespace korvane::fuzz
