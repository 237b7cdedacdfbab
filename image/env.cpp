#include "image/env.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace korvane {
namespace {

Status ioError() { return Status::fail(Error::IoError, errno); }

FileId toFileId(const struct stat& st) {
  return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
          S_ISREG(st.st_mode), S_ISDIR(st.st_mode)};
}

// Small reads (a block's link, a header field) come from a read-only window
// mapped over the file instead of a system call each: walking a chain reads
// one link per block. Another program that shortens the file under the map
// would turn the copy into SIGBUS; the guard turns that into a read error.
class MapGuard {
 public:
  // Copies n bytes from mapped memory; false when the pages are gone.
  static bool copy(void* dst, const unsigned char* src, size_t n) {
    install();
    sigjmp_buf here;
    active_ = &here;
    if (sigsetjmp(here, 0) != 0) {
      active_ = nullptr;
      return false;
    }
    std::memcpy(dst, src, n);
    active_ = nullptr;
    return true;
  }

 private:
  static void install() {
    static const bool done = [] {
      struct sigaction sa {};
      sa.sa_sigaction = onSigbus;
      sa.sa_flags = SA_SIGINFO | SA_NODEFER;
      sigemptyset(&sa.sa_mask);
      return ::sigaction(SIGBUS, &sa, nullptr) == 0;
    }();
    (void)done;
  }
  static void onSigbus(int sig, siginfo_t*, void*) {
    if (active_) siglongjmp(*active_, 1);
    ::signal(sig, SIG_DFL);  // not ours: die as the signal means
    ::raise(sig);
  }
  static thread_local sigjmp_buf* active_;
};
thread_local sigjmp_buf* MapGuard::active_ = nullptr;

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override {
    unmap();
    if (fd_ >= 0) ::close(fd_);
  }

  Status readv(uint64_t offset, const iovec* iov, int count, size_t* got) override {
    if (offset != AtPosition && count == 1 && iov[0].iov_len > 0 &&
        iov[0].iov_len <= SmallRead && fromMap(offset, iov[0], got))
      return {};
    return transfer(iov, count, got, [&](const iovec* v, int n, size_t done) {
      return offset == AtPosition ? ::readv(fd_, v, n)
                                  : ::preadv(fd_, v, n, static_cast<off_t>(offset + done));
    });
  }

  // Maps the span and hands the pieces to `out` straight from the page
  // cache: one copy instead of two. A file shortened under the map makes
  // the write fail (the kernel's copy faults), never signals.
  Status copyTo(uint64_t offset, size_t span, const Piece* pieces, int count,
                File& out) override {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t start = offset / page * page;
    size_t len = span + static_cast<size_t>(offset - start);
    void* base = ::mmap(nullptr, len, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_,
                        static_cast<off_t>(start));
    if (base == MAP_FAILED) return File::copyTo(offset, span, pieces, count, out);
    std::vector<iovec> iov(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
      iov[i] = {static_cast<char*>(base) + (pieces[i].at - start), pieces[i].len};
    Status s = out.writev(AtPosition, iov.data(), count);
    ::munmap(base, len);
    return s.host();
  }

  Status writev(uint64_t offset, const iovec* iov, int count) override {
    size_t done = 0;
    Status s = transfer(iov, count, &done, [&](const iovec* v, int n, size_t at) {
      return offset == AtPosition ? ::writev(fd_, v, n)
                                  : ::pwritev(fd_, v, n, static_cast<off_t>(offset + at));
    });
    if (s.ok() && done < total(iov, count)) return Status::fail(Error::IoError, EIO);
    if (s.ok() && offset != AtPosition && done >= StreamWrite) startWriteback(offset, done);
    return s;
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
    unmap();  // a window past the new end would fault
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
    unmap();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return ioError();
    return {};
  }

 private:
  // Moves the list's bytes with `step` (a readv- or writev-like call given
  // the bytes still to move and how many have moved), until all have moved
  // or a call moves none; *done counts them.
  template <class Step>
  static Status transfer(const iovec* iov, int count, size_t* done, Step step) {
    std::vector<iovec> rest(iov, iov + count);
    size_t first = 0;
    *done = 0;
    while (first < rest.size()) {
      if (rest[first].iov_len == 0) {
        ++first;
        continue;
      }
      ssize_t r = step(rest.data() + first, static_cast<int>(rest.size() - first), *done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ioError();
      if (r == 0) break;
      *done += static_cast<size_t>(r);
      advance(rest, first, static_cast<size_t>(r));
    }
    return {};
  }

  static size_t total(const iovec* iov, int count) {
    size_t n = 0;
    for (int i = 0; i < count; ++i) n += iov[i].iov_len;
    return n;
  }

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
      iovec one{const_cast<char*>(zeros.data()), n};
      if (Status s = writev(offset, &one, 1); !s.ok()) return s;
      offset += n;
      len -= n;
    }
    return {};
  }

  static constexpr size_t SmallRead = 64;
  static constexpr size_t StreamWrite = 512 * 1024;
  static constexpr size_t Page = 4096;

  // A large write is part of a file being copied in: its writeback starts
  // now, so the disk works while the next part is copied, and the sync
  // that commits the file finds little left to do. Only a hint: it orders
  // nothing, and a failure shows at the sync. The last page is left out,
  // as the next write may put a link into it.
  void startWriteback(uint64_t offset, size_t len) {
    if (len > Page)
      (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(len - Page),
                              SYNC_FILE_RANGE_WRITE);
  }
  static constexpr uint64_t WindowBytes = uint64_t{4} << 20;

  // Serves a small read from the mapped window, mapping the window around
  // `offset` first; false when the read must go to the file instead.
  bool fromMap(uint64_t offset, const iovec& v, size_t* got) {
    if (!canMap_) return false;
    if (!map_ || offset < mapStart_ || offset + v.iov_len > mapStart_ + mapLen_) {
      unmap();
      uint64_t size = 0;
      struct stat st;
      if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return canMap_ = false;
      size = static_cast<uint64_t>(st.st_size);
      if (offset + v.iov_len > size) return false;
      mapStart_ = offset / WindowBytes * WindowBytes;
      mapLen_ = static_cast<size_t>(std::min(WindowBytes, size - mapStart_));
      void* base = ::mmap(nullptr, mapLen_, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(mapStart_));
      if (base == MAP_FAILED) return canMap_ = false;
      map_ = static_cast<unsigned char*>(base);
    }
    if (!MapGuard::copy(v.iov_base, map_ + (offset - mapStart_), v.iov_len)) {
      unmap();
      canMap_ = false;  // the file shrank: plain reads tell the truth from now on
      return false;
    }
    *got = v.iov_len;
    return true;
  }

  void unmap() {
    if (map_) ::munmap(map_, mapLen_);
    map_ = nullptr;
  }

  int fd_;
  bool canMap_ = true;
  unsigned char* map_ = nullptr;
  uint64_t mapStart_ = 0;
  size_t mapLen_ = 0;
};

class PosixEnv final : public Env {
 public:
  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::Read: flags |= O_RDONLY; break;
      case OpenMode::ReadWrite: flags |= O_RDWR; break;
      case OpenMode::Create: flags |= O_WRONLY | O_CREAT; break;
    }
    // Never wait in open: a FIFO with no writer would hold the run forever.
    // Once open, reads and writes block as the file's kind wants.
    int fd;
    do {
      fd = ::open(path, flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::fail(Error::OpenFailed, errno);
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
      Status s = Status::fail(Error::OpenFailed, errno);
      ::close(fd);
      return s;
    }
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

  Status openStandardOutput(std::unique_ptr<File>* file) override {
    int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return Status::fail(Error::OpenFailed, errno);
    *file = std::make_unique<PosixFile>(fd);
    return {};
  }

  Status remove(const char* path) override {
    // unlink, not remove: a folder is never taken for a file.
    if (::unlink(path) != 0) return Status::fail(Error::OpenFailed, errno);
    return {};
  }
};

}  // namespace

Env& Env::host() {
  static PosixEnv env;
  return env;
}

Status lockWaiting(Env& env, const char* path, File& f, LockMode mode, int waitMs) {
  Status s = f.lock(mode, 0);
  if (s.code != Error::Locked || waitMs <= 0) return s;
  env.lockBusy(path, waitMs);
  return f.lock(mode, waitMs);
}

void removePartial(Env& env, const char* path, const FileId& made, File* open) {
  if (!made.regular) return;
  FileId pathId;
  if (env.linkStat(path, &pathId).ok() && pathId.regular && pathId.sameAs(made))
    (void)env.remove(path);
  else if (open)
    (void)open->truncate(0);
}

Status File::copyTo(uint64_t offset, size_t span, const Piece* pieces, int count, File& out) {
  std::vector<unsigned char> buf(span);
  if (Status s = readExact(*this, offset, buf.data(), span); !s.ok()) return s;
  std::vector<iovec> iov(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) iov[i] = {buf.data() + (pieces[i].at - offset), pieces[i].len};
  return out.writev(AtPosition, iov.data(), count).host();
}

Status readAt(File& f, uint64_t offset, void* buf, size_t n, size_t* got) {
  iovec one{buf, n};
  return f.readv(offset, &one, 1, got);
}

Status readExact(File& f, uint64_t offset, void* buf, size_t n) {
  size_t got = 0;
  if (Status s = readAt(f, offset, buf, n, &got); !s.ok()) return s;
  return got == n ? Status{} : Status::fail(Error::ShortRead);
}

Status writeAt(File& f, uint64_t offset, const void* buf, size_t n) {
  iovec one{const_cast<void*>(buf), n};
  return f.writev(offset, &one, 1);
}

}  // namespace korvane
