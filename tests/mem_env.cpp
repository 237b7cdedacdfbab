#include "tests/mem_env.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace korvane::test {

struct MemEnv::Node {
  Bytes bytes;
  unsigned long long inode = 0;
};

namespace {

// Larger than any file a test or fuzz target makes.
constexpr uint64_t MaxFileBytes = 64u << 20;

class MemFile final : public File {
 public:
  MemFile(MemEnv& env, std::shared_ptr<MemEnv::Node> node, OpenMode mode)
      : env_(env), node_(std::move(node)), mode_(mode) {}

  Status readv(uint64_t offset, const iovec* iov, int count, size_t* got) override {
    if (Status s = gate("readv"); !s.ok()) return s;
    MEM_CHECK(mode_ != OpenMode::Create && offset != AtPosition);
    Bytes& b = bytes();
    size_t done = 0;
    for (int i = 0; i < count; ++i) {
      uint64_t at = offset + done;
      size_t take = at >= b.size() ? 0 : std::min<uint64_t>(iov[i].iov_len, b.size() - at);
      if (take > 0) std::memcpy(iov[i].iov_base, b.data() + at, take);
      done += take;
      if (take < iov[i].iov_len) break;
    }
    *got = done;
    return {};
  }

  Status writev(uint64_t offset, const iovec* iov, int count) override {
    // Images are written at offsets; host files copied out, at the position.
    MEM_CHECK(offset != AtPosition || mode_ == OpenMode::Create);
    uint64_t at = offset == AtPosition ? position_ : offset, len = 0;
    for (int i = 0; i < count; ++i) len += iov[i].iov_len;
    if (Status s = write('w', at, len); !s.ok() && !env_.crashed) return s;
    size_t land = env_.crashed ? std::min<uint64_t>(len, env_.plan.keep) : len;
    if (at + land > bytes().size()) bytes().resize(at + land);
    for (int i = 0; i < count && land > 0; ++i) {
      size_t n = std::min(land, iov[i].iov_len);
      std::memcpy(bytes().data() + at, iov[i].iov_base, n);
      at += n;
      land -= n;
    }
    if (env_.crashed) return Status::fail(Error::IoError, EIO);
    if (offset == AtPosition) position_ = at;
    return {};
  }

  Status reserve(uint64_t offset, uint64_t len) override { return write('r', offset, len); }
  Status zeroRange(uint64_t offset, uint64_t len) override {
    if (Status s = write('z', offset, len); !s.ok()) return s;
    std::fill_n(bytes().begin() + static_cast<std::ptrdiff_t>(offset), len, 0);
    return {};
  }
  Status truncate(uint64_t len) override {
    MEM_CHECK(mode_ == OpenMode::Create && len <= MaxFileBytes);
    if (Status s = write('t', 0, 0); !s.ok()) return s;
    bytes().resize(len);
    return {};
  }
  Status sync() override {
    if (Status s = gate("sync"); !s.ok()) return s;
    env_.trace.push_back({'s', 0, 0});
    return {};
  }
  Status size(uint64_t* n) override {
    if (Status s = gate("size"); !s.ok()) return s;
    *n = bytes().size();
    return {};
  }
  Status identity(FileId* id) override {
    if (Status s = gate("identity"); !s.ok()) return s;
    *id = {0, node_->inode, true};
    return {};
  }
  Status lock(LockMode, int) override {
    if (Status s = gate("lock"); !s.ok()) return s;
    return env_.plan.lockBusy ? Status::fail(Error::Locked) : Status{};
  }
  Status close() override {
    Status s = gate("close");
    closed_ = true;
    return s;
  }

 private:
  Bytes& bytes() { return node_->bytes; }
  Status gate(const char* what) {
    MEM_CHECK(!closed_);
    return env_.gate(what);
  }
  // Counts a write-like call over [offset, offset + len), making room for
  // it in a file being made; fails it, or crashes there, as planned.
  Status write(char kind, uint64_t offset, uint64_t len) {
    static const char* const names[] = {"writev", "reserve", "zeroRange", "truncate"};
    if (Status s = gate(names[std::string_view("wrzt").find(kind)]); !s.ok()) return s;
    MEM_CHECK(mode_ != OpenMode::Read);
    MEM_CHECK(offset <= MaxFileBytes && len <= MaxFileBytes - offset);
    bool grows = offset + len > bytes().size();
    MEM_CHECK(!grows || mode_ != OpenMode::ReadWrite);  // an existing image never grows
    env_.trace.push_back({kind, offset, len});
    if (env_.crashHere(offset, len)) return Status::fail(Error::IoError, EIO);
    if (grows) bytes().resize(offset + len);
    return {};
  }

  MemEnv& env_;
  std::shared_ptr<MemEnv::Node> node_;
  OpenMode mode_;
  uint64_t position_ = 0;
  bool closed_ = false;
};

}  // namespace

Status MemEnv::gate(const char* what) {
  if (crashed) return Status::fail(Error::IoError, EIO);
  ++calls;
  if (plan.failAtCall > 0 && (calls == plan.failAtCall || (plan.stays && calls > plan.failAtCall))) {
    if (calls == plan.failAtCall) failed = what;
    return Status::fail(Error::IoError, plan.err);
  }
  return {};
}

bool MemEnv::crashHere(uint64_t offset, uint64_t len) {
  if (++writes != plan.crashAtWrite) return false;
  crashed = true;
  crashOffset = offset;
  crashLen = len;
  return true;
}

Status MemEnv::open(const char* path, OpenMode mode, std::unique_ptr<File>* file) {
  if (Status s = gate("open"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
  auto it = files_.find(path);
  if (it == files_.end()) {
    if (mode != OpenMode::Create) return Status::fail(Error::OpenFailed, ENOENT);
    it = files_.emplace(path, std::make_shared<Node>(Node{{}, nextInode_++})).first;
  }
  *file = std::make_unique<MemFile>(*this, it->second, mode);
  return {};
}

Status MemEnv::stat(const char* path, FileId* id) {
  if (Status s = gate("stat"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
  auto it = files_.find(path);
  if (it == files_.end()) return Status::fail(Error::OpenFailed, ENOENT);
  *id = {0, it->second->inode, true};
  return {};
}

Status MemEnv::remove(const char* path) {
  if (Status s = gate("remove"); !s.ok()) return Status::fail(Error::OpenFailed, s.sysErr);
  return files_.erase(path) ? Status{} : Status::fail(Error::OpenFailed, ENOENT);
}

void MemEnv::put(const std::string& path, Bytes bytes) {
  files_[path] = std::make_shared<Node>(Node{std::move(bytes), nextInode_++});
}

const Bytes* MemEnv::get(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : &it->second->bytes;
}

}  // namespace korvane::test
