// The one test environment: files in memory, with fault plans, for the unit
// tests and the fuzz targets alike. It polices the image code too: a write
// through a file opened to read, or one that would grow an existing image
// (opened ReadWrite), stops the run at once.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/env.h"

#define MEM_CHECK(c) \
  (void)((c) || (std::fprintf(stderr, "failed: %s at %s:%d\n", #c, __FILE__, __LINE__), __builtin_trap(), 0))

namespace korvane::test {

using Bytes = std::vector<unsigned char>;

// Crash: the N-th write (writev, reserve, zeroRange, truncate) lands only its
// first `keep` bytes, and every call after it fails, as if the power went.
// Fail: the N-th call of any kind fails with `err`, once or from then on.
// Busy: every lock() gives Locked, as if another run held it.
struct Plan {
  long crashAtWrite = 0, keep = 0, failAtCall = 0;  // counted from 1; 0: never
  int err = EIO;
  bool stays = false, lockBusy = false;
};

class MemEnv final : public Env {
 public:
  using Node = std::shared_ptr<std::pair<Bytes, unsigned long long>>;  // bytes, inode
  explicit MemEnv(Plan p = {}) : plan(p) {}
  // Starts counting afresh under a new plan; the files stay.
  void reset(Plan p = {}) { plan = p, calls = writes = 0, written = 0, crashed = false, trace.clear(); }
  void put(const std::string& path, Bytes b) { files[path] = std::make_shared<Node::element_type>(b, ++inodes); }
  Bytes* get(const std::string& path) { return files.count(path) ? &files[path]->first : nullptr; }

  // Counts a call, failing it as the plan says.
  Status gate(const char* what, Error code = Error::IoError) {
    if (crashed) return Status::fail(code, EIO);
    if (++calls == plan.failAtCall) failed = what;
    bool fail = plan.failAtCall && (calls == plan.failAtCall || (plan.stays && calls > plan.failAtCall));
    return fail ? Status::fail(code, plan.err) : Status{};
  }
  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override;
  Status stat(const char* path, FileId* id) override {
    if (Status s = gate("stat", Error::OpenFailed); !s.ok()) return s;
    if (!files.count(path)) return Status::fail(Error::OpenFailed, ENOENT);
    *id = {0, files[path]->second, true};
    return {};
  }
  Status linkStat(const char* path, FileId* id) override { return stat(path, id); }
  Status remove(const char* path) override {
    if (Status s = gate("remove", Error::OpenFailed); !s.ok()) return s;
    return files.erase(path) ? Status{} : Status::fail(Error::OpenFailed, ENOENT);
  }

  Plan plan;
  long calls = 0, writes = 0;
  uint64_t written = 0;  // bytes of the write-like calls that succeeded
  bool crashed = false;
  uint64_t crashOffset = 0, crashLen = 0;  // the write that crashed
  const char* failed = "";                 // the kind of call that failed first
  std::vector<std::pair<char, uint64_t>> trace;  // 'w', 'r', 'z', 't' or 's' (sync), offset
  std::map<std::string, Node> files;
  unsigned long long inodes = 0;
};

class MemFile final : public File {
 public:
  MemFile(MemEnv& env, MemEnv::Node node, OpenMode mode) : env_(env), node_(node), b_(node->first), mode_(mode) {}

  Status readv(uint64_t offset, const iovec* iov, int count, size_t* got) override {
    MEM_CHECK(mode_ != OpenMode::Create && offset != AtPosition);
    *got = 0;
    for (int i = 0; i < count; ++i) {
      size_t at = offset + *got, n = at >= b_.size() ? 0 : std::min(iov[i].iov_len, b_.size() - at);
      if (n > 0) std::memcpy(iov[i].iov_base, b_.data() + at, n);
      if ((*got += n, n) < iov[i].iov_len) break;
    }
    return gate("readv");
  }
  // Images are written at offsets; host files copied out, at the position.
  Status writev(uint64_t offset, const iovec* iov, int count) override {
    MEM_CHECK(offset != AtPosition || mode_ == OpenMode::Create);
    uint64_t at = offset == AtPosition ? pos_ : offset, len = 0;
    for (int i = 0; i < count; ++i) len += iov[i].iov_len;
    Status s = write('w', at, len);
    if (!s.ok() && !env_.crashed) return s;
    size_t land = s.ok() ? len : std::min<uint64_t>(len, env_.plan.keep);
    b_.resize(std::max<size_t>(b_.size(), at + land));
    for (int i = 0; i < count && land > 0; ++i) {
      size_t n = std::min(land, iov[i].iov_len);
      std::memcpy(b_.data() + at, iov[i].iov_base, n);
      at += n, land -= n;
    }
    pos_ = at;
    return s;
  }
  Status reserve(uint64_t offset, uint64_t len) override { return write('r', offset, len); }
  Status zeroRange(uint64_t offset, uint64_t len) override {
    Status s = write('z', offset, len);
    if (s.ok()) std::fill_n(b_.begin() + long(offset), len, 0);
    return s;
  }
  Status truncate(uint64_t len) override {
    MEM_CHECK(mode_ == OpenMode::Create);
    Status s = write('t', 0, 0);
    if (s.ok()) b_.resize(len);
    return s;
  }
  Status sync() override { return env_.trace.push_back({'s', 0}), gate("sync"); }
  Status size(uint64_t* n) override { return *n = b_.size(), gate("size"); }
  Status identity(FileId* id) override { return *id = {0, node_->second, true}, gate("identity"); }
  Status lock(LockMode, int) override {
    Status s = gate("lock");
    return s.ok() && env_.plan.lockBusy ? Status::fail(Error::Locked) : s;
  }
  Status close() override {
    Status s = gate("close");
    closed_ = true;
    return s;
  }

 private:
  Status gate(const char* what) { return MEM_CHECK(!closed_), env_.gate(what); }
  // Counts a write-like call over [offset, offset + len), growing a file being
  // made to hold it; fails it, or crashes there, as planned.
  Status write(char kind, uint64_t offset, uint64_t len) {
    static const std::map<char, const char*> names = {{'w', "writev"}, {'r', "reserve"}, {'z', "zeroRange"}, {'t', "truncate"}};
    if (Status s = gate(names.at(kind)); !s.ok()) return s;
    bool grows = offset + len > b_.size();
    MEM_CHECK(mode_ != OpenMode::Read && offset + len < (64u << 20));
    MEM_CHECK(!grows || mode_ != OpenMode::ReadWrite);  // an existing image never grows
    env_.trace.push_back({kind, offset});
    if (++env_.writes == env_.plan.crashAtWrite) {
      env_.crashed = true, env_.crashOffset = offset, env_.crashLen = len;
      return Status::fail(Error::IoError, EIO);
    }
    if (grows) b_.resize(offset + len);
    env_.written += len;
    return {};
  }

  MemEnv& env_;
  MemEnv::Node node_;
  Bytes& b_;
  OpenMode mode_;
  uint64_t pos_ = 0;
  bool closed_ = false;
};

inline Status MemEnv::open(const char* path, OpenMode mode, std::unique_ptr<File>* file) {
  if (Status s = gate("open", Error::OpenFailed); !s.ok()) return s;
  if (!files.count(path) && mode != OpenMode::Create) return Status::fail(Error::OpenFailed, ENOENT);
  if (!files.count(path)) put(path, {});
  *file = std::make_unique<MemFile>(*this, files[path], mode);
  return {};
}

}  // namespace korvane::test
