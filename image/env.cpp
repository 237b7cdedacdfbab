#include "image/env.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace korvane {
namespace {

Status ioError() { return Status::fail(Error::IoError, errno); }

FileId toFileId(const struct stat& st) {
  return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
          S_ISREG(st.st_mode)};
}

class PosixView final : public View {
 public:
  PosixView(void* base, size_t len, size_t skip) : base_(base), len_(len) {
    data_ = static_cast<const unsigned char*>(base) + skip;
  }
  ~PosixView() override { ::munmap(base_, len_); }

 private:
  void* base_;
  size_t len_;
};

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status readAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ioError();
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    *got = done;
    return {};
  }

  Status readvAt(uint64_t offset, const iovec* iov, int count, size_t* got) override {
    std::vector<iovec> rest(iov, iov + count);
    size_t done = 0;
    size_t first = 0;
    while (first < rest.size()) {
      ssize_t r = ::preadv(fd_, rest.data() + first, static_cast<int>(rest.size() - first),
                           static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ioError();
      if (r == 0) break;
      done += static_cast<size_t>(r);
      advance(rest, first, static_cast<size_t>(r));
    }
    *got = done;
    return {};
  }

  Status map(uint64_t offset, size_t len, bool whole, std::unique_ptr<View>* view) override {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t start = offset / page * page;
    size_t skip = static_cast<size_t>(offset - start);
    int flags = MAP_SHARED | (whole ? MAP_POPULATE : 0);
    void* base = ::mmap(nullptr, len + skip, PROT_READ, flags, fd_, static_cast<off_t>(start));
    if (base == MAP_FAILED) return ioError();
    *view = std::make_unique<PosixView>(base, len + skip, skip);
    return {};
  }

  Status writeAt(uint64_t offset, const void* buf, size_t n) override {
    iovec one{const_cast<void*>(buf), n};
    return writevAt(offset, &one, 1);
  }

  Status writevAt(uint64_t offset, const iovec* iov, int count) override {
    std::vector<iovec> rest(iov, iov + count);
    size_t done = 0;
    size_t first = 0;
    while (first < rest.size()) {
      if (rest[first].iov_len == 0) {
        ++first;
        continue;
      }
      ssize_t r = ::pwritev(fd_, rest.data() + first, static_cast<int>(rest.size() - first),
                            static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ioError();
      if (r == 0) return Status::fail(Error::IoError, EIO);
      done += static_cast<size_t>(r);
      advance(rest, first, static_cast<size_t>(r));
    }
    return {};
  }

  Status append(const iovec* iov, int count) override {
    std::vector<iovec> rest(iov, iov + count);
    size_t first = 0;
    while (first < rest.size()) {
      if (rest[first].iov_len == 0) {
        ++first;
        continue;
      }
      ssize_t r = ::writev(fd_, rest.data() + first, static_cast<int>(rest.size() - first));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ioError();
      if (r == 0) return Status::fail(Error::IoError, EIO);
      advance(rest, first, static_cast<size_t>(r));
    }
    return {};
  }

  Status reserve(uint64_t offset, uint64_t len) override {
    if (len == 0) return {};
    int rc = ::posix_fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(len));
    if (rc == 0) return {};
    if (rc != EOPNOTSUPP && rc != EINVAL) return Status::fail(Error::IoError, rc);
    return writeZeros(offset, len);
  }

  Status zeroRange(uint64_t offset, uint64_t len) override {
    if (len == 0) return {};
#ifdef FALLOC_FL_ZERO_RANGE
    if (::fallocate(fd_, FALLOC_FL_ZERO_RANGE, static_cast<off_t>(offset),
                    static_cast<off_t>(len)) == 0)
      return {};
    if (errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) return ioError();
#endif
    return writeZeros(offset, len);
  }

  Status truncate(uint64_t len) override {
    while (::ftruncate(fd_, static_cast<off_t>(len)) != 0) {
      if (errno != EINTR) return ioError();
    }
    return {};
  }

  Status sync() override {
    if (::fdatasync(fd_) == 0) return {};
    // Pipes and terminals hold nothing to flush.
    if (errno == EINVAL || errno == EROFS) return {};
    return ioError();
  }

  Status size(uint64_t* bytes) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ioError();
    *bytes = static_cast<uint64_t>(st.st_size);
    return {};
  }

  Status identity(FileId* id) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ioError();
    *id = toFileId(st);
    return {};
  }

  Status lock(LockMode mode, int waitMs) override {
    int op = (mode == LockMode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      if (::flock(fd_, op) == 0) return {};
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return ioError();
      if (std::chrono::steady_clock::now() >= deadline) return Status::fail(Error::Locked);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  Status close() override {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return ioError();
    return {};
  }

 private:
  // Drops `n` transferred bytes from the front of an iovec list.
  static void advance(std::vector<iovec>& v, size_t& first, size_t n) {
    while (n > 0 && first < v.size()) {
      size_t take = n < v[first].iov_len ? n : v[first].iov_len;
      v[first].iov_base = static_cast<char*>(v[first].iov_base) + take;
      v[first].iov_len -= take;
      n -= take;
      if (v[first].iov_len == 0) ++first;
    }
  }

  Status writeZeros(uint64_t offset, uint64_t len) {
    static const std::vector<char> zeros(1 << 20, 0);
    while (len > 0) {
      size_t n = len < zeros.size() ? static_cast<size_t>(len) : zeros.size();
      if (Status s = writeAt(offset, zeros.data(), n); !s.ok()) return s;
      offset += n;
      len -= n;
    }
    return {};
  }

  int fd_;
};

class PosixEnv final : public Env {
 public:
  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::Read: flags |= O_RDONLY; break;
      case OpenMode::ReadWrite: flags |= O_RDWR; break;
      case OpenMode::CreateTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
      case OpenMode::Create: flags |= O_WRONLY | O_CREAT; break;
    }
    int fd;
    do {
      fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::fail(Error::OpenFailed, errno);
    *file = std::make_unique<PosixFile>(fd);
    return {};
  }

  Status stat(const char* path, FileId* id) override {
    struct stat st;
    if (::stat(path, &st) != 0) return Status::fail(Error::OpenFailed, errno);
    *id = toFileId(st);
    return {};
  }

  Status linkStat(const char* path, FileId* id) override {
    struct stat st;
    if (::lstat(path, &st) != 0) return Status::fail(Error::OpenFailed, errno);
    *id = toFileId(st);
    return {};
  }

  Status remove(const char* path) override {
    if (std::remove(path) != 0) return Status::fail(Error::OpenFailed, errno);
    return {};
  }
};

}  // namespace

Env& Env::host() {
  static PosixEnv env;
  return env;
}

void removePartial(Env& env, const char* path, const FileId& made, File* open) {
  if (!made.regular) return;
  FileId pathId;
  if (env.linkStat(path, &pathId).ok() && pathId.regular && pathId.sameAs(made))
    (void)env.remove(path);
  else if (open)
    (void)open->truncate(0);
}

Status readExact(File& f, uint64_t offset, void* buf, size_t n) {
  size_t got = 0;
  if (Status s = f.readAt(offset, buf, n, &got); !s.ok()) return s;
  return got == n ? Status{} : Status::fail(Error::ShortRead);
}

}  // namespace korvane
