// An environment over the real host that fails or "crashes" at a chosen call,
// in the manner of LevelDB's fault-injection Env.
//
// Crash: the N-th write-like call (writev, reserve,
// zeroRange, truncate) is cut short (nothing of it, or a prefix of `keep`
// bytes, reaches the file) and every call after it fails with EIO and changes
// nothing, as if the power went. Fail: the N-th call of any kind fails with
// `err`, once or from then on; the others work normally. Busy lock: every
// lock() times out as if another run held the file.
//
// Every write-like call and every sync is logged in trace(), to check what
// is synced before what. The loops that cut an operation at every call may
// skip the host's flush: they judge the order of calls, not the disk cache.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "image/env.h"

namespace korvane::test {

class FaultEnv : public Env {
 public:
  struct Plan {
    long crashAtWrite = 0;            // 1-based; 0: never
    std::function<size_t(uint64_t offset, size_t len)> keep;  // bytes of the torn write kept
    long failAtCall = 0;              // 1-based; 0: never
    int failErr = EIO;
    bool failStays = false;           // fail every call from failAtCall on
    bool lockBusy = false;            // lock() gives Error::Locked
    bool skipSync = false;            // sync() flushes nothing; it is still counted
  };

  // One write-like call ('w' write or append, 'z' zeroRange, 'r' reserve,
  // 't' truncate) or 's' sync, as it was asked for.
  struct Event {
    char kind;
    uint64_t offset;
    uint64_t len;
  };

  explicit FaultEnv(Plan plan, Env& base = Env::host()) : plan_(std::move(plan)), base_(base) {}

  long writes() const { return writes_; }
  long calls() const { return calls_; }
  bool crashed() const { return crashed_; }
  // The kind of call that failed first ("open", "readAt", "sync", ...).
  const char* failedCall() const { return failed_; }
  bool lockBusy() const { return plan_.lockBusy; }
  bool skipSync() const { return plan_.skipSync; }
  const std::vector<Event>& trace() const { return trace_; }
  void log(char kind, uint64_t offset, uint64_t len) { trace_.push_back({kind, offset, len}); }

  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override;
  Status stat(const char* path, FileId* id) override {
    if (Status s = gate("stat"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
    return base_.stat(path, id);
  }
  Status linkStat(const char* path, FileId* id) override {
    if (Status s = gate("linkStat"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
    return base_.linkStat(path, id);
  }
  Status remove(const char* path) override {
    if (Status s = gate("remove"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
    return base_.remove(path);
  }

  // Counts a call; fails it when the plan says so.
  Status gate(const char* what) {
    if (crashed_) return Status::fail(Error::IoError, EIO);
    ++calls_;
    if (plan_.failAtCall > 0 &&
        (calls_ == plan_.failAtCall || (plan_.failStays && calls_ > plan_.failAtCall))) {
      if (calls_ == plan_.failAtCall) failed_ = what;
      return Status::fail(Error::IoError, plan_.failErr);
    }
    return {};
  }
  // Counts a write; true when this one is the crash. *keep is how much of it lands.
  bool crashHere(uint64_t offset, size_t len, size_t* keep) {
    ++writes_;
    if (plan_.crashAtWrite != writes_) return false;
    crashed_ = true;
    *keep = plan_.keep ? std::min(len, plan_.keep(offset, len)) : 0;
    return true;
  }

 private:
  Plan plan_;
  Env& base_;
  long writes_ = 0;
  long calls_ = 0;
  bool crashed_ = false;
  const char* failed_ = "";
  std::vector<Event> trace_;
};

class FaultFile : public File {
 public:
  FaultFile(FaultEnv& env, std::unique_ptr<File> base) : env_(env), base_(std::move(base)) {}

  Status readv(uint64_t off, const iovec* iov, int count, size_t* got) override {
    if (Status s = env_.gate("readv"); !s.ok()) return s;
    return base_->readv(off, iov, count, got);
  }
  Status writev(uint64_t off, const iovec* iov, int count) override {
    if (Status s = env_.gate("writev"); !s.ok()) return s;
    std::vector<unsigned char> flat = flatten(iov, count);
    env_.log('w', off == AtPosition ? 0 : off, flat.size());
    size_t keep = 0;
    if (env_.crashHere(off == AtPosition ? 0 : off, flat.size(), &keep)) {
      if (keep > 0) (void)writeAt(*base_, off, flat.data(), keep);
      return Status::fail(Error::IoError, EIO);
    }
    return writeAt(*base_, off, flat.data(), flat.size());
  }
  Status reserve(uint64_t off, uint64_t len) override {
    return whole('r', off, len, [&] { return base_->reserve(off, len); });
  }
  Status zeroRange(uint64_t off, uint64_t len) override {
    return whole('z', off, len, [&] { return base_->zeroRange(off, len); });
  }
  Status truncate(uint64_t len) override {
    return whole('t', 0, len, [&] { return base_->truncate(len); });
  }
  Status sync() override {
    if (Status s = env_.gate("sync"); !s.ok()) return s;
    env_.log('s', 0, 0);
    return env_.skipSync() ? Status{} : base_->sync();
  }
  Status size(uint64_t* bytes) override {
    if (Status s = env_.gate("size"); !s.ok()) return s;
    return base_->size(bytes);
  }
  Status identity(FileId* id) override {
    if (Status s = env_.gate("identity"); !s.ok()) return s;
    return base_->identity(id);
  }
  Status lock(LockMode mode, int waitMs) override {
    if (Status s = env_.gate("lock"); !s.ok()) return s;
    if (env_.lockBusy()) return Status::fail(Error::Locked);
    return base_->lock(mode, waitMs);
  }
  Status close() override {
    Status g = env_.gate("close");
    Status s = base_->close();
    return g.ok() ? s : g;
  }

 private:
  // A call that either happens whole or, at the crash, not at all.
  template <class Op>
  Status whole(char kind, uint64_t off, uint64_t len, Op op) {
    if (Status s = env_.gate(kindName(kind)); !s.ok()) return s;
    env_.log(kind, off, len);
    size_t keep = 0;
    if (env_.crashHere(0, 0, &keep)) return Status::fail(Error::IoError, EIO);
    return op();
  }
  static const char* kindName(char kind) {
    return kind == 'r' ? "reserve" : kind == 'z' ? "zeroRange" : "truncate";
  }
  static std::vector<unsigned char> flatten(const iovec* iov, int count) {
    std::vector<unsigned char> flat;
    for (int i = 0; i < count; ++i) {
      auto* p = static_cast<const unsigned char*>(iov[i].iov_base);
      flat.insert(flat.end(), p, p + iov[i].iov_len);
    }
    return flat;
  }

  FaultEnv& env_;
  std::unique_ptr<File> base_;
};

inline Status FaultEnv::open(const char* path, OpenMode mode, std::unique_ptr<File>* file) {
  if (Status s = gate("open"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
  std::unique_ptr<File> inner;
  if (Status s = base_.open(path, mode, &inner); !s.ok()) return s;
  *file = std::make_unique<FaultFile>(*this, std::move(inner));
  return {};
}

}  // namespace korvane::test
