// The seam between the image logic and the host: every byte of an image or of
// a host file is read and written through these interfaces, so tests can swap
// in an environment that fails or "crashes" at a chosen call. A File offers
// only the primitives every host must give; the conveniences below are plain
// functions over them, so every path, fast ones included, meets the faults.
#pragma once

#include <sys/uio.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/status.h"

namespace korvane {

enum class OpenMode {
  Read,       // read only; the file must exist
  ReadWrite,  // read and write; the file must exist; never truncated
  Create,     // write only; created when missing, kept as it is otherwise
};

enum class LockMode { Shared, Exclusive };

// Who a file is, independent of how its path is spelled.
struct FileId {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool regular = false;
  bool directory = false;
  bool sameAs(const FileId& o) const { return device == o.device && inode == o.inode; }
};

// The offset that writes at the file's current position, as a pipe or a
// terminal takes its bytes.
inline constexpr uint64_t AtPosition = ~uint64_t{0};

// `len` bytes at file offset `at`.
struct Piece {
  uint64_t at = 0;
  size_t len = 0;
};

class File {
 public:
  virtual ~File() = default;

  // Scatter read at `offset`; *got is below the total only at the end of the file.
  virtual Status readv(uint64_t offset, const iovec* iov, int count, size_t* got) = 0;
  // Gather write of every byte at `offset` (or AtPosition); a partial write
  // is a failure.
  virtual Status writev(uint64_t offset, const iovec* iov, int count) = 0;
  // Gives [offset, offset + len) backing store that reads as zero where
  // nothing was written, growing the file if needed: never a sparse hole.
  virtual Status reserve(uint64_t offset, uint64_t len) = 0;
  // Makes [offset, offset + len) read as zero without unreserving it.
  virtual Status zeroRange(uint64_t offset, uint64_t len) = 0;
  // Cuts or extends the file to `len` bytes.
  virtual Status truncate(uint64_t len) = 0;
  // Forces written data to the host's disk.
  virtual Status sync() = 0;
  virtual Status size(uint64_t* bytes) = 0;
  virtual Status identity(FileId* id) = 0;
  // Takes an advisory lock, waiting at most `waitMs`; Error::Locked on timeout.
  virtual Status lock(LockMode mode, int waitMs) = 0;
  // Writes `count` pieces of this file, all within [offset, offset + span),
  // to `out` at its position, in order; the file must hold the whole span.
  // Made of readv and out.writev; a host may do it with fewer copies.
  // A failure of `out` comes back as the host file's (HostIoError).
  virtual Status copyTo(uint64_t offset, size_t span, const Piece* pieces, int count,
                        File& out);
  // Closes the file, reporting a failure that a lost write shows only here.
  // The destructor closes silently when close() was not called.
  virtual Status close() = 0;
};

class Env {
 public:
  virtual ~Env() = default;
  // Opens without blocking on what is not a regular file; OpenFailed with
  // the errno when the host refuses.
  virtual Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) = 0;
  // OpenFailed with the errno when the path cannot be examined.
  // stat follows symbolic links; linkStat describes the link itself.
  virtual Status stat(const char* path, FileId* id) = 0;
  virtual Status linkStat(const char* path, FileId* id) = 0;
  virtual Status remove(const char* path) = 0;
  // The file this program's standard output writes to, sharing its
  // position. OpenFailed where there is none.
  virtual Status openStandardOutput(std::unique_ptr<File>* file) {
    (void)file;
    return Status::fail(Error::OpenFailed, ENOTSUP);
  }
  // Told, before the wait, when another run holds the lock `path` needs and
  // this one is about to wait for it, at most `waitMs`. Nothing here says
  // anything; a front end may tell its user why the run pauses.
  virtual void lockBusy(const char* path, int waitMs) {
    (void)path;
    (void)waitMs;
  }

  // The real host file system.
  static Env& host();
};

// Reads up to n bytes at `offset`; *got < n only at the end of the file.
Status readAt(File& f, uint64_t offset, void* buf, size_t n, size_t* got);
// Reads exactly n bytes or fails with ShortRead.
Status readExact(File& f, uint64_t offset, void* buf, size_t n);
// Writes all n bytes at `offset`, or fails.
Status writeAt(File& f, uint64_t offset, const void* buf, size_t n);

// Takes the lock of `f`, the file opened at `path`, as File::lock does;
// when it is not free at once and `waitMs` allows a wait, tells `env`
// (lockBusy) before waiting.
Status lockWaiting(Env& env, const char* path, File& f, LockMode mode, int waitMs);

// Removes `path` after a failure left a partial file there, but only when
// the path itself is a plain regular file and is the file `made`: never a
// device, a pipe, or a link to somewhere else. When the path is a link to a
// regular file that is still `open`, that file is emptied instead.
void removePartial(Env& env, const char* path, const FileId& made, File* open);

}  // namespace korvane
