#include "image/create.h"
#include "image/commit.h"
#include "image/image.h"

#include <memory>

namespace korvane {
namespace {

// Lays out the new image in `f`: the header goes last, so a file cut short
// by a crash holds zeros where the header should be and is never taken for
// a sound image. *touched tells whether the old contents are gone.
Status layOut(Env& env, const char* path, File& f, const Geometry& g, bool* touched) {
  *touched = false;
  if (Status s = lockWaiting(env, path, f, LockMode::Exclusive, LockWaitMs); !s.ok()) return s;
  if (Status s = f.truncate(0); !s.ok()) return s;
  *touched = true;
  if (Status s = f.reserve(0, g.imageBytes); !s.ok()) return s;
  return writeHeader(f, {g.blockCount, g.dataOffset, static_cast<uint32_t>(tableStart(g.blockCount))});
}

}  // namespace

Status makeImage(Env& env, const char* path, uint32_t diskSizeKb, Geometry* out) {
  uint64_t blocks = blocksForDiskSize(diskSizeKb);
  if (blocks > MaxBlockCount) return Status::fail(Error::TooLarge);
  Geometry g{static_cast<uint32_t>(blocks), static_cast<uint32_t>(dataOffsetFor(blocks)),
             static_cast<uint32_t>(imageBytes(blocks))};

  // Not truncated at open: the lock is taken first, so a reader of the old
  // image never sees it vanish under its feet.
  FileId before;
  bool existed = env.stat(path, &before).ok();
  std::unique_ptr<File> f;
  if (Status s = env.open(path, OpenMode::Create, &f); !s.ok()) return s;
  FileId made;
  bool touched = false;
  Status s = f->identity(&made);
  // Only a regular file can hold an image: a device or a pipe has no length.
  if (s.ok() && !made.regular) return Status::fail(Error::OpenFailed, EINVAL);
  if (s.ok()) s = layOut(env, path, *f, g, &touched);
  if (!s.ok()) {
    // A file that held something is only removed once its contents are gone.
    if (touched)
      removePartial(env, path, made, f.get());
    else if (!existed && s.code != Error::Locked)  // a locked file is someone else's
      (void)env.remove(path);
    return s;
  }
  if (Status c = f->close(); !c.ok()) {
    removePartial(env, path, made, nullptr);
    return c;
  }
  *out = g;
  return {};
}

Status removeImage(Env& env, const char* path, int waitMs) {
  FileId target;
  bool exists = env.stat(path, &target).ok();
  if (exists && !target.regular)
    return Status::fail(Error::OpenFailed, target.directory ? EISDIR : EINVAL);
  // Held until the name is gone: a run that waits for it then finds the
  // name gone rather than storing into a file nobody can reach.
  std::unique_ptr<File> f;
  if (exists && env.open(path, OpenMode::Read, &f).ok())
    if (Status s = lockWaiting(env, path, *f, LockMode::Exclusive, waitMs); !s.ok()) return s;
  return env.remove(path);
}

}  // namespace korvane
