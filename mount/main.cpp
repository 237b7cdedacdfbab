// korvanefs: mounts a disk image as a folder of its files, through FUSE.
// This file is the glue: it turns the kernel's requests into calls of the
// Volume, which does the work and prints nothing.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <syslog.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "frontend/version.h"
#include "image/std_streams.h"
#include "mount/volume.h"

namespace {

using korvane::Error;
using korvane::Status;
using korvane::Volume;

// How often new files closed are committed, at the latest.
constexpr std::chrono::seconds CommitEvery{1};
// Writes at least this long are stored by the worker (see writeOp).
constexpr size_t HandOverBytes = 64 * 1024;
// The read-ahead the mount asks for, in KiB (FUSE's own is 128).
constexpr long ReadAheadKb = 1024;
// How long a mount waits for a korvane run that holds the image.
constexpr int LockWaitMs = 1000;

struct Mount {
  std::unique_ptr<Volume> volume;
  const char* image = nullptr;   // as given on the command line
  int folders = 0;               // words after the image that are no option
  const char* folder = nullptr;  // the last of them: the mount point
  bool readOnly = false;         // mounted with -o ro
  std::string path;              // the image's absolute name
  std::string mountpoint;        // the folder's absolute name
  bool help = false;
  bool version = false;
  // Whether anyone but the mounting user may reach the files, or they show
  // other owners or modes than the default: the kernel then checks them.
  bool checked = false;
  // What every stat shows of owners and modes: FUSE's uid=, gid= and
  // umask=, or the mounting user and 0644 (0755 the folder).
  uid_t uid = getuid();
  gid_t gid = getgid();
  std::optional<mode_t> umask;
  // A worker beside the request loop stores a large write's bytes while
  // the next request is read, and commits closed new files every
  // CommitEvery.
  // Whoever holds `busy` uses the volume, and a write handed to the worker
  // is stored before anyone else uses it.
  std::mutex busy;
  std::condition_variable changed;
  std::function<void()> handed;  // the write handed over, until stored
  int handedFrom = -1;           // the request buffer its bytes lie in
  std::map<std::string, int, std::less<>> failed;  // errno of a write handed over, by file
  std::set<std::string, std::less<>> uncached;  // files written past the page cache
  bool stopping = false;
  std::thread worker;
  // Requests are read into two buffers in turn; `serving` is the one whose
  // request is being served.
  fuse_buf buffers[2] = {};
  int serving = 0;
};

Mount& mounted() { return *static_cast<Mount*>(fuse_get_context()->private_data); }
Volume& volume() { return *mounted().volume; }

// The volume, once the write handed over (if any) is stored.
std::unique_lock<std::mutex> hold() {
  Mount& m = mounted();
  std::unique_lock<std::mutex> held(m.busy);
  m.changed.wait(held, [&] { return !m.handed; });
  return held;
}

int errnoOf(const Status& s) {
  switch (s.code) {
    case Error::Ok: return 0;
    case Error::NotStored: return ENOENT;
    case Error::Exists: return EEXIST;
    case Error::NoSpace: return ENOSPC;
    case Error::NameTooLong: return ENAMETOOLONG;
    case Error::FileTooLarge: return EFBIG;
    case Error::OpenFailed:
    case Error::IoError: return s.sysErr ? s.sysErr : EIO;
    default: return EIO;
  }
}

// The stored name a path spells: the image holds one folder, the root.
bool nameOf(const char* path, std::string_view* name) {
  if (path[0] != '/') return false;
  *name = path + 1;
  return !name->empty() && name->find('/') == std::string_view::npos;
}

// Runs `op` on the stored name `path` spells; 0 or a negated errno. The
// removed file of a descriptor still open is gone from the image, so
// nothing is left to serve: its requests fail with ESTALE.
template <class Op>
int onName(const char* path, Op&& op) {
  auto held = hold();
  if (!path) return -ESTALE;
  std::string_view name;
  if (!nameOf(path, &name)) return -ENOENT;
  return -errnoOf(op(name));
}

// The failure of a write handed over that the file's program has not yet
// heard of, told once: to its next write, flush or fsync.
int lateFailure(std::string_view name) {
  Mount& m = mounted();
  auto it = m.failed.find(name);
  if (it == m.failed.end()) return 0;
  int err = it->second;
  m.failed.erase(it);
  return err;
}

// As onName, telling a write's late failure first.
template <class Op>
int afterWrites(const char* path, Op&& op) {
  return onName(path, [&](std::string_view n) {
    int late = lateFailure(n);
    return late ? Status::fail(Error::IoError, late) : op(n);
  });
}

// The permissions a stat shows of the folder or of a file.
mode_t shownMode(bool folder) {
  const Mount& m = mounted();
  return m.umask ? 0777 & ~*m.umask : folder ? 0755 : 0644;
}

// The format keeps no times or owners: every file shows the image file's
// times and the owners of Mount.
struct stat imageAttributes() {
  struct stat image = {};
  if (::stat(mounted().path.c_str(), &image) != 0) image = {};
  struct stat st = {};
  st.st_uid = mounted().uid;
  st.st_gid = mounted().gid;
  st.st_atim = image.st_atim;
  st.st_mtim = image.st_mtim;
  st.st_ctim = image.st_ctim;
  return st;
}

// What a stat of the root, or of stored file `name`, shows, given what
// imageAttributes() gave.
int attributes(std::string_view name, const struct stat& image, struct stat* st) {
  *st = image;
  if (name.empty()) {
    st->st_mode = S_IFDIR | shownMode(true);
    st->st_nlink = 2;
    return 0;
  }
  uint64_t bytes = 0;
  if (Status s = volume().size(name, &bytes); !s.ok()) return -errnoOf(s);
  st->st_mode = S_IFREG | shownMode(false);
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(bytes);
  st->st_blksize = korvane::BlockPayload;
  st->st_blocks = static_cast<blkcnt_t>(korvane::blocksForFile(bytes) * korvane::BlockSize / 512);
  return 0;
}

int getattrOp(const char* path, struct stat* st, fuse_file_info*) {
  auto held = hold();
  if (!path) return -ESTALE;
  std::string_view name;
  if (std::strcmp(path, "/") != 0 && !nameOf(path, &name)) return -ENOENT;
  return attributes(name, imageAttributes(), st);
}

// A listing that asks for the files' attributes gets them with the names,
// sparing a request per file.
int readdirOp(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags flags) {
  auto held = hold();
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  bool plus = flags & FUSE_READDIR_PLUS;
  struct stat image = imageAttributes(), st;
  (void)attributes("", image, &st);
  fill(buf, ".", &st, 0, fuse_fill_dir_flags{});
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const std::string& name : volume().names()) {
    bool known = plus && attributes(name, image, &st) == 0;
    if (fill(buf, name.c_str(), known ? &st : nullptr, 0,
             known ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{}))
      break;
  }
  return 0;
}

// Whether `name` was written past the page cache since it was last opened
// to read; it no longer counts as such.
bool takeUncached(std::string_view name) {
  std::set<std::string, std::less<>>& names = mounted().uncached;
  auto it = names.find(name);
  if (it == names.end()) return false;
  names.erase(it);
  return true;
}

bool writeOnly(const fuse_file_info* fi) { return fi && (fi->flags & O_ACCMODE) == O_WRONLY; }

// A file opened only to write (cp, dd, a shell's >) is written past the
// kernel's page cache: its bytes come to us straight from the program's
// buffer, one copy fewer, and no cache fills with pages nobody reads (such
// a descriptor can never be mapped). Pages that readers cached before may
// then be stale: recent kernels drop them as the write passes, older ones
// keep them. Other opens keep the cache, but the first open to read after
// such a write drops it: every reader opened after a write sees it.
void chooseCaching(std::string_view name, fuse_file_info* fi) {
  if (writeOnly(fi))
    fi->direct_io = 1;
  else
    fi->keep_cache = !takeUncached(name);
}

int createOp(const char* path, mode_t, fuse_file_info* fi) {
  return onName(path, [&](std::string_view n) {
    chooseCaching(n, fi);
    return volume().create(n);
  });
}

int openOp(const char* path, fuse_file_info* fi) {
  return onName(path, [&](std::string_view n) {
    uint64_t bytes = 0;
    Status s = volume().size(n, &bytes);
    if (s.ok()) chooseCaching(n, fi);
    return s;
  });
}

int readOp(const char* path, char* buf, size_t len, off_t offset, fuse_file_info*) {
  size_t got = 0;
  int rc = onName(path, [&](std::string_view n) {
    return volume().read(n, static_cast<uint64_t>(offset), len, buf, &got);
  });
  return rc < 0 ? rc : static_cast<int>(got);
}

// Whether `len` bytes at `data` lie in the request buffer being served.
bool inRequest(const Mount& m, const char* data, size_t len) {
  const fuse_buf& b = m.buffers[m.serving];
  const char* mem = static_cast<const char*>(b.mem);
  return mem && data >= mem && len <= b.size && data - mem <= static_cast<ptrdiff_t>(b.size - len);
}

// What can refuse a write is checked here; a large write's bytes are then
// stored by the worker, from the request buffer, while the program goes on
// to its next write. A host failure that comes then is told to the file's
// next write, flush or fsync, as a file system with a page cache tells it.
int writeOp(const char* path, const char* data, size_t len, off_t offset, fuse_file_info* fi) {
  Mount& m = mounted();
  uint64_t at = static_cast<uint64_t>(offset);
  int rc = afterWrites(path, [&](std::string_view n) {
    if (Status s = volume().fits(n, at, len); !s.ok()) return s;
    if (writeOnly(fi)) m.uncached.emplace(n);
    // Bytes FUSE copied elsewhere are gone when we return, and a small
    // write costs less to store than to hand over: stored now.
    if (len < HandOverBytes || !inRequest(m, data, len)) return volume().write(n, at, data, len);
    m.handed = [&m, name = std::string(n), at, data, len] {
      if (Status s = m.volume->write(name, at, data, len); !s.ok()) m.failed[name] = errnoOf(s);
    };
    m.handedFrom = m.serving;
    m.changed.notify_all();
    return Status{};
  });
  return rc < 0 ? rc : static_cast<int>(len);
}

int truncateOp(const char* path, off_t size, fuse_file_info*) {
  if (size < 0) return -EINVAL;
  return onName(path, [&](std::string_view n) {
    return volume().resize(n, static_cast<uint64_t>(size));
  });
}

// A close commits a changed stored file, and reports a failure to the
// program; a new file is committed with the others closed within a second
// (or with the next fsync or the unmount). The last close of a file that
// was never written commits it as an empty file.
int flushOp(const char* path, fuse_file_info*) {
  if (!path) return 0;  // removed: nothing of it is left to store
  return afterWrites(path, [](std::string_view n) { return volume().commitLater(n, true); });
}

// No program hears of a failure here: it goes to the system log.
int releaseOp(const char* path, fuse_file_info*) {
  if (!path) return 0;
  int rc = afterWrites(path, [](std::string_view n) { return volume().commitLater(n); });
  if (rc < 0 && rc != -ENOENT)
    syslog(LOG_ERR, "korvanefs: %s: %s: not stored (%s)", mounted().image, path,
           std::strerror(-rc));
  return rc;
}

int fsyncOp(const char* path, int, fuse_file_info*) {
  return afterWrites(path, [](std::string_view n) { return volume().commit(n); });
}

// Renames are on the disk when they return: syncing the folder commits the
// erases and the new files closed.
int fsyncdirOp(const char*, int, fuse_file_info*) {
  auto held = hold();
  return -errnoOf(volume().commitQueued());
}

// What the mount keeps of a file besides the volume follows its name.
void renameState(std::string_view from, std::optional<std::string_view> to) {
  Mount& m = mounted();
  int late = lateFailure(from);
  bool uncached = takeUncached(from);
  if (!to) return;
  (void)lateFailure(*to);
  (void)takeUncached(*to);
  if (late) m.failed[std::string(*to)] = late;
  if (uncached) m.uncached.emplace(*to);
}

int unlinkOp(const char* path) {
  return onName(path, [](std::string_view n) {
    Status s = volume().remove(n);
    if (s.ok()) renameState(n, std::nullopt);
    return s;
  });
}

int renameOp(const char* from, const char* to, unsigned int flags) {
  // Two files cannot trade names in one step of the image.
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  std::string_view target;
  if (!nameOf(to, &target)) return -ENOENT;
  return onName(from, [&](std::string_view n) {
    Status s = volume().rename(n, target, flags & RENAME_NOREPLACE);
    if (s.ok() && n != target) renameState(n, target);
    return s;
  });
}

// The image keeps no times; setting them is accepted so that touch works.
int utimensOp(const char* path, const timespec[2], fuse_file_info*) {
  uint64_t bytes = 0;
  return onName(path, [&](std::string_view n) { return volume().size(n, &bytes); });
}

// The image holds no owners or modes: a change to what a file already
// shows is accepted, as cp -p, tar x, gzip and sed -i make one; any other
// change is refused.
int chmodOp(const char* path, mode_t mode, fuse_file_info*) {
  struct stat st;
  int rc = getattrOp(path, &st, nullptr);
  return rc < 0 ? rc : (mode & 07777) == (st.st_mode & 07777) ? 0 : -EPERM;
}

int chownOp(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
  struct stat st;
  int rc = getattrOp(path, &st, nullptr);
  if (rc < 0) return rc;
  bool same = (uid == static_cast<uid_t>(-1) || uid == st.st_uid) &&
              (gid == static_cast<gid_t>(-1) || gid == st.st_gid);
  return same ? 0 : -EPERM;
}

// The image holds regular files in one folder.
int refuseFolder(const char*, mode_t) { return -EPERM; }
int refuseNode(const char*, mode_t, dev_t) { return -EPERM; }
int refuseLink(const char*, const char*) { return -EPERM; }

int statfsOp(const char*, struct statvfs* st) {
  auto held = hold();
  korvane::VolumeStats v = volume().stats();
  *st = {};
  st->f_bsize = st->f_frsize = korvane::BlockPayload;
  st->f_blocks = v.blockCount;
  st->f_bfree = st->f_bavail = v.freeBlocks;
  // Every file owns a block, and the table has a slot per block.
  st->f_files = v.blockCount;
  st->f_ffree = st->f_favail = v.freeBlocks;
  st->f_namemax = korvane::MaxNameLength;
  return 0;
}

// A large file is read through FUSE in pieces of the mount's read-ahead,
// each a request and a round of the kernel's page handling: at FUSE's
// 128 KiB, cat of a large file takes about a third longer than at 1 MiB.
// Only root may raise it, in the mount's own entry under /sys; for anyone
// else it stays as it was. The stat is a request our own loop serves, and
// the loop may be waiting on the worker to store a write: so this runs on
// a thread of its own that holds nothing and that nobody waits for, with
// its own copy of the name.
void raiseReadAhead(std::string mountpoint) {
  struct stat st;
  if (::stat(mountpoint.c_str(), &st) != 0) return;
  std::string path = "/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                     std::to_string(minor(st.st_dev)) + "/read_ahead_kb";
  long kb = 0;
  if (!(std::ifstream(path) >> kb) || kb >= ReadAheadKb) return;
  std::ofstream(path) << ReadAheadKb << '\n';
}

// The worker: stores each write handed over, and commits the new files
// closed every CommitEvery, until the unmount. The loop waits on it, so it
// must never ask our own mount for anything: it uses only the image's open
// file and the system log.
void work(Mount& m) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> held(m.busy);
  for (auto next = Clock::now() + CommitEvery;;) {
    m.changed.wait_until(held, next, [&] { return m.handed || m.stopping; });
    if (m.handed) {
      m.handed();
      m.handed = nullptr;
      m.changed.notify_all();
    }
    if (Clock::now() >= next) {
      next = Clock::now() + CommitEvery;
      if (!m.volume->pending()) continue;
      if (Status s = m.volume->commitQueued(); !s.ok())
        syslog(LOG_ERR, "korvanefs: %s: changes not stored (%s)", m.image,
               std::strerror(errnoOf(s)));
    }
    if (m.stopping && !m.handed) return;
  }
}

void* initOp(fuse_conn_info* conn, fuse_config* cfg) {
  // A write's bytes must arrive in the request buffer the worker reads.
  conn->want &= ~FUSE_CAP_SPLICE_READ;
  // An open with O_TRUNC is then followed by a truncate of its own.
  conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
  // An erased file is gone at once, as korvane -e erases it, rather than
  // renamed to a hidden name that the image would have to hold.
  cfg->hard_remove = 1;
  Mount& m = mounted();
  if (cfg->set_uid) m.uid = cfg->uid;
  if (cfg->set_gid) m.gid = cfg->gid;
  if (cfg->set_mode) m.umask = cfg->umask;
  // Started here, after FUSE has gone into the background: a thread does
  // not outlive the fork.
  m.worker = std::thread(work, std::ref(m));
  // Without a thread to spare, the read-ahead only stays as it was.
  try {
    std::thread(raiseReadAhead, m.mountpoint).detach();
  } catch (const std::system_error&) {
  }
  return &m;
}

// In the background standard error is gone: failures go to the system log
// as well.
void destroyOp(void* data) {
  Mount& m = *static_cast<Mount*>(data);
  {
    std::lock_guard<std::mutex> held(m.busy);
    m.stopping = true;
  }
  m.changed.notify_all();
  if (m.worker.joinable()) m.worker.join();
  if (Status s = m.volume->close(); !s.ok()) {
    std::string line = std::string("korvanefs: ") + m.image +
                       ": could not store every change (" + std::strerror(errnoOf(s)) + ")";
    std::cerr << line << std::endl;
    syslog(LOG_ERR, "%s", line.c_str());
  }
  if (uint64_t leaked = m.volume->leakedBlocks()) {
    std::string line = "korvanefs: " + std::to_string(leaked) +
                       " blocks could not be freed; fsck.korvane -y " + m.image + " frees them";
    std::cerr << line << std::endl;
    syslog(LOG_WARNING, "%s", line.c_str());
  }
}

fuse_operations operations() {
  fuse_operations ops = {};
  ops.getattr = getattrOp;
  ops.readdir = readdirOp;
  ops.create = createOp;
  ops.open = openOp;
  ops.read = readOp;
  ops.write = writeOp;
  ops.truncate = truncateOp;
  ops.flush = flushOp;
  ops.release = releaseOp;
  ops.fsync = fsyncOp;
  ops.fsyncdir = fsyncdirOp;
  ops.unlink = unlinkOp;
  ops.rename = renameOp;
  ops.utimens = utimensOp;
  ops.statfs = statfsOp;
  ops.chmod = chmodOp;
  ops.chown = chownOp;
  ops.mkdir = refuseFolder;
  ops.mknod = refuseNode;
  ops.symlink = refuseLink;
  ops.link = refuseLink;
  ops.init = initOp;
  ops.destroy = destroyOp;
  return ops;
}

// Serves requests until the unmount, reading them into two buffers in
// turn: a write's bytes stay in theirs while the worker stores them and the
// next request is read into the other.
int serve(fuse_session* se, Mount& m) {
  int res = 0;
  for (int i = 0; !fuse_session_exited(se); i ^= 1) {
    {
      std::unique_lock<std::mutex> held(m.busy);
      m.changed.wait(held, [&] { return !m.handed || m.handedFrom != i; });
    }
    res = fuse_session_receive_buf(se, &m.buffers[i]);
    if (res == -EINTR) continue;
    if (res <= 0) break;
    m.serving = i;
    fuse_session_process_buf(se, &m.buffers[i]);
  }
  fuse_session_reset(se);
  return res < 0 ? 1 : 0;
}

// As fuse_main, with our own request loop.
int run(fuse_args* args, const fuse_operations& ops, Mount& m) {
  fuse_cmdline_opts opts = {};
  if (fuse_parse_cmdline(args, &opts) != 0) return 1;
  std::unique_ptr<char, decltype(&std::free)> mountpoint(opts.mountpoint, &std::free);
  fuse* f = fuse_new(args, &ops, sizeof ops, &m);
  if (!f) return 1;
  int rc = 1;
  m.mountpoint = opts.mountpoint;
  if (fuse_mount(f, opts.mountpoint) == 0) {
    fuse_session* se = fuse_get_session(f);
    if (fuse_daemonize(opts.foreground) == 0 && fuse_set_signal_handlers(se) == 0) {
      rc = serve(se, m);
      fuse_remove_signal_handlers(se);
    }
    fuse_unmount(f);
  }
  fuse_destroy(f);
  for (fuse_buf& b : m.buffers) std::free(b.mem);
  return rc;
}

constexpr const char* Usage = "usage: korvanefs IMAGE MOUNTPOINT [-f] [-d] [-o OPTION,...]";

enum Key { KeyHelp, KeyVersion, KeyReadOnly, KeyReadWrite, KeyChecked };

// The first word that is no option is the image; the rest go to FUSE,
// which takes one more, the mount point. FUSE gets ro and rw too.
int takeArgument(void* data, const char* arg, int key, fuse_args*) {
  Mount& m = *static_cast<Mount*>(data);
  switch (key) {
    case KeyHelp: m.help = true; return 0;
    case KeyVersion: m.version = true; return 0;
    case KeyReadOnly: m.readOnly = true; return 1;
    case KeyReadWrite: m.readOnly = false; return 1;
    case KeyChecked: m.checked = true; return 1;
  }
  if (key == FUSE_OPT_KEY_NONOPT && !m.image) {
    m.image = arg;
    return 0;
  }
  if (key == FUSE_OPT_KEY_NONOPT) {
    m.folder = arg;
    ++m.folders;
  }
  return 1;
}

// Our usage line, then FUSE's options, which it parses itself.
int help(fuse_args* args) {
  std::cout << Usage << "\nMounts disk image IMAGE on folder MOUNTPOINT; "
            << "fusermount3 -u MOUNTPOINT unmounts it.\n\nFUSE options:\n";
  std::cout.flush();
  fuse_cmdline_help();
  fuse_lib_help(args);
  return 0;
}

int version() {
  std::cout << "korvanefs " << korvane::Version << "\nFUSE library version "
            << fuse_pkgversion() << std::endl;
  return 0;
}

// A mount option value that holds a comma or a backslash escaped for FUSE.
std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

int reportOpenFailure(const char* image, const Status& s) {
  std::cerr << "korvanefs: ";
  switch (s.code) {
    case Error::Damaged:
    case Error::ShortRead:
      std::cerr << image << " is damaged! Run fsck.korvane " << image
                << " to check it (add -y to repair it)." << std::endl;
      break;
    case Error::Locked:
      std::cerr << image << " is in use by another process!" << std::endl;
      break;
    default:
      std::cerr << "cannot open " << image << " (" << std::strerror(errnoOf(s)) << ")"
                << std::endl;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard stream must not hand its number to the image.
  if (!korvane::guardStandardStreams()) return 1;
  static const fuse_opt options[] = {
      FUSE_OPT_KEY("-h", KeyHelp),     FUSE_OPT_KEY("--help", KeyHelp),
      FUSE_OPT_KEY("-V", KeyVersion),  FUSE_OPT_KEY("--version", KeyVersion),
      FUSE_OPT_KEY("ro", KeyReadOnly), FUSE_OPT_KEY("-r", KeyReadOnly),
      FUSE_OPT_KEY("rw", KeyReadWrite), FUSE_OPT_KEY("allow_other", KeyChecked),
      FUSE_OPT_KEY("allow_root", KeyChecked), FUSE_OPT_KEY("uid=", KeyChecked),
      FUSE_OPT_KEY("gid=", KeyChecked), FUSE_OPT_KEY("umask=", KeyChecked), FUSE_OPT_END};
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  Mount m;
  if (fuse_opt_parse(&args, &m, options, takeArgument) == -1) return 1;
  std::unique_ptr<fuse_args, decltype(&fuse_opt_free_args)> owned(&args, &fuse_opt_free_args);
  if (m.help) return help(&args);
  if (m.version) return version();
  if (!m.image || m.folders != 1) {
    std::cerr << Usage << std::endl;
    return 1;
  }
  // FUSE would mount over a file too, and the file would then fail every
  // request until unmounted.
  if (struct stat st; ::stat(m.folder, &st) == 0 && !S_ISDIR(st.st_mode)) {
    std::cerr << "korvanefs: " << m.folder << ": not a folder" << std::endl;
    return 1;
  }
  // FUSE runs the daemon in "/": the image is held by its absolute name.
  std::unique_ptr<char, decltype(&std::free)> absolute(realpath(m.image, nullptr), &std::free);
  if (!absolute) return reportOpenFailure(m.image, Status::fail(Error::OpenFailed, errno));
  m.path = absolute.get();
  // A read-only mount opens the image read-only, under the shared lock that
  // korvane's listings and reads take too.
  if (Status s = Volume::open(korvane::Env::host(), absolute.get(), &m.volume, LockWaitMs,
                              m.readOnly ? korvane::Access::Read : korvane::Access::Write);
      !s.ok())
    return reportOpenFailure(m.image, s);
  // The kernel checks every access against the owners and modes a stat
  // shows wherever that can refuse one: when other users may reach the
  // files, or they show other owners or modes. Otherwise the one user who
  // may owns them all, and the checks would only cost a request for the
  // folder's attributes after each file removed.
  std::string extra = m.checked ? "-odefault_permissions,subtype=korvanefs,fsname="
                                : "-osubtype=korvanefs,fsname=";
  fuse_opt_add_arg(&args, (extra + escaped(absolute.get())).c_str());
  return run(&args, operations(), m);
}
