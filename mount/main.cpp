// korvanefs: mounts a disk image as a folder of its files, through FUSE.
// This file is the glue: it turns the kernel's requests into calls of the
// Session and its Volume, which do the work and print nothing.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
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
#include "mount/session.h"

namespace {

using korvane::Error;
using korvane::Session;
using korvane::Status;
using korvane::Volume;

// How often new files closed are committed, at the latest.
constexpr std::chrono::seconds CommitEvery{1};
// The read-ahead the mount asks for, in KiB (FUSE's own is 128).
constexpr long ReadAheadKb = 1024;
// How long a mount waits for a korvane run that holds the image.
constexpr int LockWaitMs = 1000;
// How long the request loop keeps asking for the next request after
// serving one, before it sleeps until one comes (see serve).
constexpr std::chrono::microseconds SpinFor{50};

struct Mount {
  std::unique_ptr<Session> session;
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
  // What the files and the folder show until set (uid=, gid=, umask=,
  // fmask=, dmask=), and whether uid= and gid= name new files' owners too.
  uid_t uid = getuid();
  gid_t gid = getgid();
  bool uidSet = false;
  bool gidSet = false;
  std::optional<mode_t> umask, fmask, dmask;
  bool quiet = false;     // a refused chmod or chown succeeds, changing nothing
  bool badOption = false;  // an option's value named no user, group or mask
  bool toldNameLimit = false;
  std::set<std::string, std::less<>> uncached;  // files written past the page cache
  // Requests are read into two buffers in turn; `serving` is the one whose
  // request is being served.
  fuse_buf buffers[2] = {};
  int serving = 0;
};

Mount& mounted() { return *static_cast<Mount*>(fuse_get_context()->private_data); }
Session& session() { return *mounted().session; }
Volume& volume() { return session().volume(); }
std::unique_lock<std::mutex> hold() { return session().hold(); }

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

// The stored name a path spells, or the empty name for the folder.
bool nameOrFolder(const char* path, std::string_view* name) {
  *name = {};
  return std::strcmp(path, "/") == 0 || nameOf(path, name);
}

// Runs `op` on the name `path` spells (the folder's too when `folder`),
// holding the volume; `op` returns 0 or a negated errno. The removed file
// of a descriptor still open is gone from the image, so nothing is left to
// serve: its requests fail with ESTALE.
template <class Op>
int onPath(const char* path, bool folder, Op&& op) {
  auto held = hold();
  if (!path) return -ESTALE;
  std::string_view name;
  if (!(folder ? nameOrFolder(path, &name) : nameOf(path, &name))) return -ENOENT;
  return op(name);
}

// As onPath on a stored file, `op` returning a Status.
template <class Op>
int onName(const char* path, Op&& op) {
  return onPath(path, false, [&](std::string_view n) { return -errnoOf(op(n)); });
}

// As onName, telling first a late failure of a write (see Session).
template <class Op>
int afterWrites(const char* path, Op&& op) {
  return onName(path, [&](std::string_view n) {
    return session().afterWrites(n, [&] { return op(n); });
  });
}

// What a stat of the root, or of stored file `name`, shows.
int attributes(std::string_view name, struct stat* st) {
  korvane::Attributes a;
  uint64_t bytes = 0;
  if (Status s = volume().attributes(name, &a); !s.ok()) return -errnoOf(s);
  if (!name.empty())
    if (Status s = volume().size(name, &bytes); !s.ok()) return -errnoOf(s);
  *st = {};
  st->st_mode = (name.empty() ? S_IFDIR : S_IFREG) | a.mode;
  st->st_nlink = name.empty() ? 2 : 1;
  st->st_uid = a.uid;
  st->st_gid = a.gid;
  st->st_atim = a.atime;
  st->st_mtim = a.mtime;
  st->st_ctim = a.ctime;
  if (name.empty()) return 0;
  st->st_size = static_cast<off_t>(bytes);
  st->st_blksize = korvane::BlockPayload;
  st->st_blocks = static_cast<blkcnt_t>(korvane::blocksForFile(bytes) * korvane::BlockSize / 512);
  return 0;
}

int getattrOp(const char* path, struct stat* st, fuse_file_info*) {
  return onPath(path, true, [&](std::string_view n) { return attributes(n, st); });
}

// A listing that asks for the files' attributes gets them with the names,
// sparing a request per file.
int readdirOp(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags flags) {
  auto held = hold();
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  bool plus = flags & FUSE_READDIR_PLUS;
  struct stat st;
  (void)attributes("", &st);
  fill(buf, ".", &st, 0, fuse_fill_dir_flags{});
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const std::string& name : volume().names()) {
    bool known = plus && attributes(name, &st) == 0;
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

// A name too long is refused; the reason goes to the system log once,
// with the way around for rsync, whose temporary .NAME.XXXXXX is 8 bytes
// longer than the name it stores.
void tellNameLimit(std::string_view name) {
  Mount& m = mounted();
  if (m.toldNameLimit) return;
  m.toldNameLimit = true;
  syslog(LOG_NOTICE, "korvanefs: %s: %.*s: names hold at most %u bytes (rsync: --inplace)",
         m.image, static_cast<int>(name.size()), name.data(), korvane::MaxNameLength);
}

// A new file shows the mode it was created with, and its creator as owner
// unless uid= or gid= name one.
int createOp(const char* path, mode_t mode, fuse_file_info* fi) {
  return onName(path, [&](std::string_view n) {
    const Mount& m = mounted();
    const fuse_context* caller = fuse_get_context();
    korvane::Attributes shown;
    shown.mode = mode;
    shown.uid = m.uidSet ? m.uid : caller->uid;
    shown.gid = m.gidSet ? m.gid : caller->gid;
    Status s = volume().create(n, &shown);
    if (s.code == Error::NameTooLong) tellNameLimit(n);
    if (s.ok()) chooseCaching(n, fi);
    return s;
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

// Whether `len` bytes at `data` lie in the request buffer being served:
// they stay there, unread into, until the worker has stored them.
bool inRequest(const Mount& m, const char* data, size_t len) {
  const fuse_buf& b = m.buffers[m.serving];
  const char* mem = static_cast<const char*>(b.mem);
  return mem && data >= mem && len <= b.size && data - mem <= static_cast<ptrdiff_t>(b.size - len);
}

// What can refuse a write is checked here, and a write cut to what fits;
// a large write's bytes are then stored by the worker, straight from the
// request buffer (or a copy), while the program goes on to its next
// write. A host failure that comes then is told to the file's next write,
// flush or fsync, as a file system with a page cache tells it.
int writeOp(const char* path, const char* data, size_t len, off_t offset, fuse_file_info* fi) {
  Mount& m = mounted();
  uint64_t at = static_cast<uint64_t>(offset);
  int rc = afterWrites(path, [&](std::string_view n) {
    if (Status s = volume().fits(n, at, &len); !s.ok()) return s;
    if (writeOnly(fi)) m.uncached.emplace(n);
    return session().store(n, at, data, len, inRequest(m, data, len));
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

// Whether a file was written past the page cache follows its name.
void renameUncached(std::string_view from, std::optional<std::string_view> to) {
  bool uncached = takeUncached(from);
  if (!to) return;
  (void)takeUncached(*to);
  if (uncached) mounted().uncached.emplace(*to);
}

int unlinkOp(const char* path) {
  return onName(path, [](std::string_view n) {
    Status s = session().remove(n);
    if (s.ok()) renameUncached(n, std::nullopt);
    return s;
  });
}

int renameOp(const char* from, const char* to, unsigned int flags) {
  // Two files cannot trade names in one step of the image, and it holds no
  // whiteouts.
  if (flags & ~RENAME_NOREPLACE) return -EINVAL;
  std::string_view target;
  if (!nameOf(to, &target)) return -ENOENT;
  return onName(from, [&](std::string_view n) {
    Status s = session().rename(n, target, flags & RENAME_NOREPLACE);
    if (s.ok() && n != target) renameUncached(n, target);
    return s;
  });
}

// Changes what a stat of `path` shows: `change` edits a copy, or returns
// a refusal, which -o quiet turns into a success that changes nothing.
template <class Change>
int reshow(const char* path, Change&& change) {
  return onPath(path, true, [&](std::string_view name) {
    korvane::Attributes a;
    if (Status s = volume().attributes(name, &a); !s.ok()) return -errnoOf(s);
    if (int rc = change(a); rc < 0) return mounted().quiet && rc == -EPERM ? 0 : rc;
    return -errnoOf(volume().setAttributes(name, a));
  });
}

timespec timeOf(const timespec& t) {
  if (t.tv_nsec != UTIME_NOW) return t;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// Where the kernel checks permissions (default_permissions) it has checked
// these requests already; elsewhere only the mounting user (and root, with
// allow_root) reaches the folder. chmod and chown check the owner all the
// same, as the kernel would.
int utimensOp(const char* path, const timespec tv[2], fuse_file_info*) {
  return reshow(path, [&](korvane::Attributes& a) {
    if (tv[0].tv_nsec != UTIME_OMIT) a.atime = timeOf(tv[0]);
    if (tv[1].tv_nsec != UTIME_OMIT) a.mtime = timeOf(tv[1]);
    return 0;
  });
}

bool owns(const korvane::Attributes& a) {
  uid_t caller = fuse_get_context()->uid;
  return caller == 0 || caller == a.uid;
}

int chmodOp(const char* path, mode_t mode, fuse_file_info*) {
  return reshow(path, [&](korvane::Attributes& a) {
    if (!owns(a)) return -EPERM;
    a.mode = mode & 07777;
    return 0;
  });
}

// Whether the caller belongs to group `gid`.
bool inGroup(gid_t gid) {
  if (fuse_get_context()->gid == gid) return true;
  gid_t groups[NGROUPS_MAX];
  int n = fuse_getgroups(NGROUPS_MAX, groups);
  return std::find(groups, groups + std::max(n, 0), gid) != groups + std::max(n, 0);
}

// Only root gives a file away; its owner may give it to a group of theirs.
int chownOp(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
  return reshow(path, [&](korvane::Attributes& a) {
    bool root = fuse_get_context()->uid == 0;
    bool keepsOwner = uid == static_cast<uid_t>(-1) || uid == a.uid;
    bool keepsGroup = gid == static_cast<gid_t>(-1) || gid == a.gid;
    if (!root && (!keepsOwner || (!keepsGroup && !(owns(a) && inGroup(gid))))) return -EPERM;
    if (!keepsOwner) a.uid = uid;
    if (!keepsGroup) a.gid = gid;
    return 0;
  });
}

// Space is taken as zero bytes; the image has no holes to punch, and a
// reservation past the end would not show in the size it stores.
int fallocateOp(const char* path, int mode, off_t offset, off_t len, fuse_file_info*) {
  if (mode != 0) return -EOPNOTSUPP;
  if (offset < 0 || len <= 0) return -EINVAL;
  return afterWrites(path, [&](std::string_view n) {
    uint64_t bytes = 0;
    uint64_t end = static_cast<uint64_t>(offset) + static_cast<uint64_t>(len);
    Status s = volume().size(n, &bytes);
    return s.ok() && end > bytes ? volume().resize(n, end) : s;
  });
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
// else it stays as it was. The stat is a request the mount's own loop
// serves, and it may be waiting on the worker to store a write: so this runs on
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

void* initOp(fuse_conn_info* conn, fuse_config* cfg) {
  // A write's bytes come in the request itself: read through a pipe, FUSE
  // would copy them out into a buffer of its own for each write.
  conn->want &= ~FUSE_CAP_SPLICE_READ;
  // An open with O_TRUNC is then followed by a truncate of its own.
  conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
  // An erased file is gone at once, as korvane -e erases it, rather than
  // renamed to a hidden name that the image would have to hold.
  cfg->hard_remove = 1;
  Mount& m = mounted();
  // Started here, after FUSE has gone into the background.
  if (Status s = m.session->start(); !s.ok())
    syslog(LOG_WARNING, "korvanefs: %s: no worker (%s): every write is stored as it comes",
           m.image, std::strerror(errnoOf(s)));
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
  if (Status s = m.session->stop(); !s.ok()) {
    std::string line = std::string("korvanefs: ") + m.image +
                       ": could not store every change (" + std::strerror(errnoOf(s)) + ")";
    std::cerr << line << std::endl;
    syslog(LOG_ERR, "%s", line.c_str());
  }
  if (uint64_t leaked = m.session->volume().leakedBlocks()) {
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
  ops.fallocate = fallocateOp;
  ops.mkdir = refuseFolder;
  ops.mknod = refuseNode;
  ops.symlink = refuseLink;
  ops.link = refuseLink;
  ops.init = initOp;
  ops.destroy = destroyOp;
  return ops;
}

// The next request into `buf`, as fuse_session_receive_buf gives it, from
// the device opened non-blocking. A program that reads or writes a file in
// small pieces sends its next request a few microseconds after our reply:
// a loop that sleeps at once is woken for each one, and on this kind of
// machine (a virtual one, 2 cores) the wake-ups of both sides took most of
// a 4 KiB read's 50 us. Asking again for SpinFor after the last request
// served, before sleeping in poll, halves that; a loop left idle sleeps
// after SpinFor as before. After a request that took longer than that to
// serve (a large read) the wake-up is a small part of the next one, and a
// spin would only take the core from the program reading: none then.
int receive(fuse_session* se, fuse_buf* buf, std::chrono::steady_clock::time_point spinUntil) {
  for (;;) {
    int res = fuse_session_receive_buf(se, buf);
    if (res != -EAGAIN) return res;
    if (std::chrono::steady_clock::now() < spinUntil) continue;
    // A signal that ends the session interrupts the wait: -EINTR, as from a
    // read interrupted, sends the loop back to see whether it has ended.
    pollfd device = {fuse_session_fd(se), POLLIN, 0};
    if (::poll(&device, 1, -1) < 0) return -errno;
  }
}

// Serves requests until the unmount, reading them into two buffers in
// turn: a write's bytes stay in theirs while the worker stores them and the
// next request is read into the other.
int serve(fuse_session* se, Mount& m) {
  int res = 0;
  int device = fuse_session_fd(se);
  int flags = fcntl(device, F_GETFL);
  if (flags != -1) (void)fcntl(device, F_SETFL, flags | O_NONBLOCK);
  auto spinUntil = std::chrono::steady_clock::now();
  for (int i = 0; !fuse_session_exited(se); i ^= 1) {
    m.session->awaitUnread(m.buffers[i].mem, m.buffers[i].size);
    res = receive(se, &m.buffers[i], spinUntil);
    if (res == -EINTR) {  // a signal: the loop ends if it ended the session
      res = 0;
      continue;
    }
    if (res <= 0) break;
    m.serving = i;
    auto start = std::chrono::steady_clock::now();
    fuse_session_process_buf(se, &m.buffers[i]);
    auto served = std::chrono::steady_clock::now();
    spinUntil = served - start < SpinFor ? served + SpinFor : served;
  }
  fuse_session_reset(se);
  return res < 0 ? 1 : 0;
}

// As fuse_main, with our own request loop. libfuse's (fuse_loop) was
// measured against it, bench/run --mount-only --runs 5 back to back on a
// quiet machine of 2 cores, a large write then handed to the worker as a
// copy: fio's 4 KiB verify reads went from 0.93x fuse2fs to 2.09x, its
// mixed reads and writes from 0.98x and 1.03x to 1.54x and 1.29x, dd of
// 1 GiB in from 1.03x korvane -w to 1.33x, creating 1,000 files from one
// shell from 0.61x fuse2fs to 1.19x. Its threaded loop is slower still on
// fio's rows.
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

enum Key {
  KeyHelp, KeyVersion, KeyReadOnly, KeyReadWrite, KeyChecked,
  KeyUid, KeyGid, KeyUmask, KeyFmask, KeyDmask, KeyQuiet
};

// A user or group given by number or by name.
template <class Id, class Entry>
bool idOf(const char* value, Id* id, Entry* (*lookup)(const char*), Id Entry::*field) {
  char* end = nullptr;
  errno = 0;
  unsigned long n = std::strtoul(value, &end, 10);
  if (*value && !*end && errno == 0 && n == static_cast<Id>(n)) {
    *id = static_cast<Id>(n);
    return true;
  }
  const Entry* e = *value ? lookup(value) : nullptr;
  if (e) *id = e->*field;
  return e != nullptr;
}

bool maskOf(const char* value, std::optional<mode_t>* mask) {
  char* end = nullptr;
  unsigned long n = std::strtoul(value, &end, 8);
  if (!*value || *end || n > 0777) return false;
  *mask = static_cast<mode_t>(n);
  return true;
}

// The owner and mode options are ours, not FUSE's: FUSE would show them
// over whatever a file is set to.
bool takeShown(Mount& m, const char* arg, int key) {
  const char* value = std::strchr(arg, '=') + 1;
  switch (key) {
    case KeyUid: return m.uidSet = idOf(value, &m.uid, getpwnam, &passwd::pw_uid);
    case KeyGid: return m.gidSet = idOf(value, &m.gid, getgrnam, &group::gr_gid);
    case KeyUmask: return maskOf(value, &m.umask);
    case KeyFmask: return maskOf(value, &m.fmask);
    default: return maskOf(value, &m.dmask);
  }
}

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
    case KeyQuiet: m.quiet = true; return 0;
    case KeyUid: case KeyGid: case KeyUmask: case KeyFmask: case KeyDmask:
      m.checked = true;
      if (!takeShown(m, arg, key)) {
        std::cerr << "korvanefs: " << arg << ": no such user, group or mask" << std::endl;
        m.badOption = true;
      }
      return 0;
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

// What the image's files, and the folder, show until set: the options' owner
// and mode, and the image file's times when mounted.
korvane::Attributes shownByDefault(const Mount& m, bool folder) {
  struct stat image = {};
  if (::stat(m.path.c_str(), &image) != 0) image = {};
  std::optional<mode_t> mask = folder ? m.dmask : m.fmask;
  if (!mask) mask = m.umask;
  korvane::Attributes a;
  a.mode = mask ? 0777 & ~*mask : folder ? 0755 : 0644;
  a.uid = m.uid;
  a.gid = m.gid;
  a.atime = image.st_atim;
  a.mtime = image.st_mtim;
  a.ctime = image.st_ctim;
  return a;
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

// Opens the image as m.path names it, for the session. A read-only mount
// opens it read-only, under the shared lock that korvane's listings and
// reads take too. As Volume::open.
Status openSession(Mount& m) {
  std::unique_ptr<Volume> v;
  if (Status s = Volume::open(korvane::Env::host(), m.path.c_str(), &v, LockWaitMs,
                              m.readOnly ? korvane::Access::Read : korvane::Access::Write);
      !s.ok())
    return s;
  v->setDefaults(shownByDefault(m, false), shownByDefault(m, true));
  // The worker's commits fail with nobody to tell but the system log.
  m.session = std::make_unique<Session>(std::move(v), CommitEvery, [&m](const Status& s) {
    syslog(LOG_ERR, "korvanefs: %s: changes not stored (%s)", m.image, std::strerror(errnoOf(s)));
  });
  return {};
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
      FUSE_OPT_KEY("allow_root", KeyChecked), FUSE_OPT_KEY("uid=", KeyUid),
      FUSE_OPT_KEY("gid=", KeyGid), FUSE_OPT_KEY("umask=", KeyUmask),
      FUSE_OPT_KEY("fmask=", KeyFmask), FUSE_OPT_KEY("dmask=", KeyDmask),
      FUSE_OPT_KEY("quiet", KeyQuiet), FUSE_OPT_END};
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  Mount m;
  if (fuse_opt_parse(&args, &m, options, takeArgument) == -1) return 1;
  std::unique_ptr<fuse_args, decltype(&fuse_opt_free_args)> owned(&args, &fuse_opt_free_args);
  if (m.badOption) return 1;
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
  if (Status s = openSession(m); !s.ok()) return reportOpenFailure(m.image, s);
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
