// Small helpers shared by the fuzz targets.
#pragma once

#include <cstring>
#include <iostream>
#include <streambuf>
#include <vector>

#include "fuzz/mem_env.h"
#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"

namespace korvane::fuzz {

// Erases `name`; a failure to free the blocks after the commit counts too.
inline Status removeAll(Env& env, const char* image, std::string_view name) {
  Status freed;
  Status s = removeFile(env, image, name, &freed);
  return s.ok() ? freed : s;
}

// Sends std::cout and std::cerr nowhere: the operations print, libFuzzer and
// the sanitizers report through stdio and raw writes, which stay visible.
inline void quietStreams() {
  struct NullBuf : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
  };
  static NullBuf sink;
  std::cout.rdbuf(&sink);
  std::cerr.rdbuf(&sink);
}

// The image's table as listImage reports it.
inline Status listRows(Env& env, const char* path, std::vector<FileEntry>* rows) {
  rows->clear();
  return listImage(env, path, [] {}, [rows](const FileEntry& e) { rows->push_back(e); });
}

inline bool allZero(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

inline bool sameEntry(const FileEntry& a, const FileEntry& b) {
  return a.firstBlock == b.firstBlock && a.fileSize == b.fileSize &&
         a.lastBlockBytes == b.lastBlockBytes && std::memcmp(a.name, b.name, NameFieldSize) == 0;
}

}  // namespace korvane::fuzz
