#include "image/fs.h"
#include "image/image.h"

#include <memory>

namespace korvane {
namespace {

// Lays out the new image in `f`: the header goes last, so a file cut short
// by a crash holds zeros where the header should be and is never taken for
// a sound image.
Status layOut(File& f, const Geometry& g) {
  if (Status s = f.lock(LockMode::Exclusive, LockWaitMs); !s.ok()) return s;
  if (Status s = f.truncate(0); !s.ok()) return s;
  if (Status s = f.reserve(0, g.imageBytes); !s.ok()) return s;
  unsigned char raw[HeaderSize];
  encodeHeader(raw, {g.blockCount, g.dataOffset, static_cast<uint32_t>(tableStart(g.blockCount))});
  if (Status s = f.writeAt(0, raw, sizeof raw); !s.ok()) return s;
  return f.sync();
}

}  // namespace

Status makeImage(Env& env, const char* path, uint32_t diskSizeKb, Geometry* out) {
  uint64_t blocks = blocksForDiskSize(diskSizeKb);
  if (blocks > MaxBlockCount) return Status::fail(Error::TooLarge);
  Geometry g{static_cast<uint32_t>(blocks), static_cast<uint32_t>(dataOffsetFor(blocks)),
             static_cast<uint32_t>(imageBytes(blocks))};

  std::unique_ptr<File> f;
  // Not truncated at open: the lock is taken first, so a reader of the old
  // image never sees it vanish under its feet.
  if (Status s = env.open(path, OpenMode::Create, &f); !s.ok()) return s;
  FileId made;
  Status s = f->identity(&made);
  if (s.ok()) s = layOut(*f, g);
  if (s.code == Error::Locked) return s;  // someone else's image: untouched
  if (!s.ok()) {
    removePartial(env, path, made, f.get());
    return s;
  }
  if (Status c = f->close(); !c.ok()) {
    removePartial(env, path, made, nullptr);
    return c;
  }
  *out = g;
  return {};
}

}  // namespace korvane
