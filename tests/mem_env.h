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
#include <random>
#include <string>
#include <vector>

#include "image/env.h"

#define MEM_CHECK(c) \
  (void)((c) || (std::fprintf(stderr, "failed: %s at %s:%d\n", #c, __FILE__, __LINE__), __builtin_trap(), 0))

namespace korvane::test {

using Bytes = std::vector<unsigned char>;

// Crash: the N-th write (writev, reserve, zeroRange, truncate) lands only its
// first `keep` bytes, and every call after it fails, as if the process died.
// A power cut, with `cut` set, is harsher: the host's cache is lost, so each
// 512-byte sector written since its file's last sync holds any one of the
// versions it had since: as at the sync, or after any write to it, the cut
// one included (the disk may have taken any of its sectors). `draw` picks
// them: a seed (Random), or the one dirty sector, counted from 0 in offset
// order, file by file (by path), that alone keeps its oldest (AllButOne) or
// alone takes its newest (OnlyOne) while every other takes the other end.
// `dirty` then tells how many sectors there were.
// Fail: the N-th call of any kind fails with `err`, once or from then on.
// Busy: every lock() gives Locked, as if another run held it.
enum class Cut { None, Random, AllButOne, OnlyOne };
struct Plan {
  long crashAtWrite = 0, keep = 0, failAtCall = 0;  // counted from 1; 0: never
  int err = EIO;
  bool stays = false, lockBusy = false;
  Cut cut = Cut::None;
  long draw = 0;
};

class MemEnv final : public Env {
 public:
  using Node = std::shared_ptr<std::pair<Bytes, unsigned long long>>;  // bytes, inode
  explicit MemEnv(Plan p = {}) : plan(p) {}
  // Starts counting afresh under a new plan; the files stay.
  void reset(Plan p = {}) { plan = p, calls = writes = 0, written = 0, crashed = false, trace.clear(), sectors.clear(); }
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

  // Notes the sectors of [from, to) of a file as they are now, before a write
  // (a first version) or after it (a new one, unless it is the same): a
  // sector a write left as it was is not dirty.
  void note(unsigned long long inode, const Bytes& b, uint64_t from, uint64_t to, bool after) {
    for (uint64_t k = from / 512; plan.cut != Cut::None && k < (to + 511) / 512; ++k) {
      auto it = sectors.try_emplace({inode, k}).first;
      Bytes now(b.begin() + long(std::min(b.size(), k * 512)), b.begin() + long(std::min(b.size(), k * 512 + 512)));
      if (it->second.empty() || (after && it->second.back() != now)) it->second.push_back(std::move(now));
      if (after && it->second.size() == 1) sectors.erase(it);
    }
  }
  // The power goes: every file takes one version of each of its dirty sectors,
  // as the plan draws them, and ends where its last sector holding bytes ends.
  void powerCut() {
    std::mt19937_64 rng(plan.draw);
    long k = 0;
    for (auto& [path, node] : files) {
      Bytes& b = node->first;
      auto from = sectors.lower_bound({node->second, 0}), to = sectors.lower_bound({node->second + 1, 0});
      uint64_t end = 0;
      for (uint64_t s = (b.size() + 511) / 512; s-- > 0 && !end;)
        if (!sectors.count({node->second, s})) end = std::min<uint64_t>(b.size(), s * 512 + 512);
      for (auto it = from; it != to; ++it) {
        const std::vector<Bytes>& v = it->second;
        bool one = k++ == plan.draw;
        const Bytes& got = plan.cut == Cut::Random ? v[rng() % v.size()] : one == (plan.cut == Cut::OnlyOne) ? v.back() : v[0];
        uint64_t at = it->first.second * 512;
        b.resize(std::max<uint64_t>(b.size(), at + 512));
        std::fill_n(std::copy(got.begin(), got.end(), b.begin() + long(at)), 512 - got.size(), 0);
        end = got.empty() ? end : std::max<uint64_t>(end, at + got.size());
      }
      b.resize(end);
    }
    dirty = k;
  }

  Plan plan;
  long calls = 0, writes = 0, dirty = 0;  // dirty: the sectors a power cut found unsynced
  uint64_t written = 0;  // bytes of the write-like calls that succeeded
  bool crashed = false;
  uint64_t crashOffset = 0, crashLen = 0;  // the write that crashed
  const char* failed = "";                 // the kind of call that failed first
  std::vector<std::pair<char, uint64_t>> trace;  // 'w', 'r', 'z', 't' or 's' (sync), offset
  std::map<std::string, Node> files;
  unsigned long long inodes = 0;
  std::map<std::pair<unsigned long long, uint64_t>, std::vector<Bytes>> sectors;  // (inode, sector): versions
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
    return write('w', at, len, [&](uint64_t land) {
      b_.resize(std::max<size_t>(b_.size(), at + land));
      for (int i = 0; i < count && land > 0; ++i) {
        size_t n = std::min<size_t>(land, iov[i].iov_len);
        std::memcpy(b_.data() + at, iov[i].iov_base, n);
        at += n, land -= n;
      }
      pos_ = at;
    });
  }
  Status reserve(uint64_t offset, uint64_t len) override {
    return write('r', offset, len, [&](uint64_t n) { b_.resize(std::max<size_t>(b_.size(), n ? offset + n : 0)); });
  }
  Status zeroRange(uint64_t offset, uint64_t len) override {
    return write('z', offset, len, [&](uint64_t n) {
      b_.resize(std::max<size_t>(b_.size(), n ? offset + n : 0)), std::fill_n(b_.begin() + long(offset), n, 0);
    });
  }
  Status truncate(uint64_t len) override {
    MEM_CHECK(mode_ == OpenMode::Create);
    uint64_t from = std::min<uint64_t>(len, b_.size()), span = std::max<uint64_t>(len, b_.size()) - from;
    return write('t', from, span, [&](uint64_t n) { n == span ? b_.resize(len) : void(); });
  }
  // A sync that succeeds forgets what a power cut could undo.
  Status sync() override {
    env_.trace.push_back({'s', 0});
    Status s = gate("sync");
    if (s.ok()) env_.sectors.erase(env_.sectors.lower_bound({id(), 0}), env_.sectors.lower_bound({id() + 1, 0}));
    return s;
  }
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
  unsigned long long id() const { return node_->second; }
  // Counts a write-like call over [offset, offset + len), which `land(n)` puts
  // in place up to its n-th byte: all of it, or at a crash what the plan
  // keeps of a writev; fails it, or crashes there, as planned.
  template <class Land>
  Status write(char kind, uint64_t offset, uint64_t len, Land land) {
    static const std::map<char, const char*> names = {{'w', "writev"}, {'r', "reserve"}, {'z', "zeroRange"}, {'t', "truncate"}};
    if (Status s = gate(names.at(kind)); !s.ok()) return s;
    MEM_CHECK(mode_ != OpenMode::Read && offset + len < (64u << 20));
    MEM_CHECK(offset + len <= b_.size() || mode_ != OpenMode::ReadWrite);  // an existing image never grows
    env_.trace.push_back({kind, offset});
    bool crash = ++env_.writes == env_.plan.crashAtWrite, cut = env_.plan.cut != Cut::None;
    env_.note(id(), b_, offset, offset + len, false);
    land(!crash || cut ? len : kind == 'w' ? std::min<uint64_t>(len, env_.plan.keep) : 0);
    env_.note(id(), b_, offset, offset + len, true);
    if (!crash) return env_.written += len, Status{};
    env_.crashed = true, env_.crashOffset = offset, env_.crashLen = len;
    if (cut) env_.powerCut();
    return Status::fail(Error::IoError, EIO);
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
