#include "fuzz/mem_env.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::fuzz {
namespace {

class MemFile final : public File {
 public:
  MemFile(std::shared_ptr<MemNode> node, OpenMode mode) : node_(std::move(node)), mode_(mode) {}

  Status readv(uint64_t offset, const iovec* iov, int count, size_t* got) override {
    usable();
    FUZZ_CHECK(mode_ == OpenMode::Read || mode_ == OpenMode::ReadWrite);
    FUZZ_CHECK(offset != AtPosition);
    auto& b = node_->bytes;
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
    FUZZ_CHECK(offset != AtPosition || mode_ != OpenMode::ReadWrite);
    uint64_t at = offset == AtPosition ? position_ : offset;
    for (int i = 0; i < count; ++i) {
      room(at, iov[i].iov_len);
      if (iov[i].iov_len > 0) std::memcpy(node_->bytes.data() + at, iov[i].iov_base, iov[i].iov_len);
      at += iov[i].iov_len;
    }
    if (offset == AtPosition) position_ = at;
    return {};
  }

  Status reserve(uint64_t offset, uint64_t len) override {
    room(offset, len);
    return {};
  }

  Status zeroRange(uint64_t offset, uint64_t len) override {
    room(offset, len);
    std::fill_n(node_->bytes.begin() + static_cast<std::ptrdiff_t>(offset), len, 0);
    return {};
  }

  Status truncate(uint64_t len) override {
    usable();
    FUZZ_CHECK(mode_ == OpenMode::Create);
    FUZZ_CHECK(len <= MaxFileBytes);
    node_->bytes.resize(len);
    return {};
  }

  Status sync() override {
    usable();
    return {};
  }
  Status size(uint64_t* bytes) override {
    usable();
    *bytes = node_->bytes.size();
    return {};
  }
  Status identity(FileId* id) override {
    usable();
    *id = {0, node_->inode, true};
    return {};
  }
  Status lock(LockMode, int) override {
    usable();
    return {};
  }
  Status close() override {
    usable();
    closed_ = true;
    return {};
  }

 private:
  // Larger than any image or host file a fuzz target makes.
  static constexpr uint64_t MaxFileBytes = 8u << 20;

  void usable() const { FUZZ_CHECK(!closed_); }

  // Checks that [offset, offset + len) may be written, and makes room for it
  // in a file being created.
  void room(uint64_t offset, uint64_t len) {
    usable();
    FUZZ_CHECK(mode_ != OpenMode::Read);
    FUZZ_CHECK(offset <= MaxFileBytes && len <= MaxFileBytes - offset);
    auto& b = node_->bytes;
    if (offset + len <= b.size()) return;
    // An existing image is never grown.
    FUZZ_CHECK(mode_ != OpenMode::ReadWrite);
    b.resize(offset + len);
  }

  std::shared_ptr<MemNode> node_;
  OpenMode mode_;
  uint64_t position_ = 0;
  bool closed_ = false;
};

}  // namespace

Status MemEnv::open(const char* path, OpenMode mode, std::unique_ptr<File>* file) {
  auto it = files_.find(path);
  if (it == files_.end()) {
    if (mode == OpenMode::Read || mode == OpenMode::ReadWrite)
      return Status::fail(Error::OpenFailed, ENOENT);
    auto node = std::make_shared<MemNode>();
    node->inode = nextInode_++;
    it = files_.emplace(path, std::move(node)).first;
  }
  *file = std::make_unique<MemFile>(it->second, mode);
  return {};
}

Status MemEnv::stat(const char* path, FileId* id) {
  auto it = files_.find(path);
  if (it == files_.end()) return Status::fail(Error::OpenFailed, ENOENT);
  *id = {0, it->second->inode, true};
  return {};
}

Status MemEnv::remove(const char* path) {
  if (files_.erase(path) == 0) return Status::fail(Error::OpenFailed, ENOENT);
  return {};
}

void MemEnv::put(const std::string& path, std::vector<unsigned char> bytes) {
  auto node = std::make_shared<MemNode>();
  node->bytes = std::move(bytes);
  node->inode = nextInode_++;
  files_[path] = std::move(node);
}

const std::vector<unsigned char>* MemEnv::get(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : &it->second->bytes;
}

}  // namespace korvane::fuzz
