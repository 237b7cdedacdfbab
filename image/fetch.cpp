#include "image/fetch.h"

#include <algorithm>
#include <memory>

#include "image/chain.h"
#include "image/image.h"

namespace korvane {
namespace {

// Blocks read per call: 1 MiB.
constexpr uint32_t RunBlocks = 256;

// Streams the chain's payloads to the host file, a run of consecutive
// blocks per read and per write.
Status copyOut(Image& img, File& host, const FileEntry& entry, Progress* progress) {
  ChainWalker walker(img);
  if (Status s = walker.start(entry); !s.ok()) return s;
  uint64_t left = entry.fileSize;
  Piece pieces[RunBlocks];
  for (;;) {
    Run run;
    if (Status s = walker.next(&run, RunBlocks); !s.ok()) return s;
    if (run.count == 0) return {};
    uint64_t at = img.blockOffset(run.first);
    for (uint32_t i = 0; i < run.count; ++i) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(left, BlockPayload));
      pieces[i] = {at + uint64_t{BlockSize} * i, take};
      left -= take;
    }
    if (Status s = img.file().copyTo(at, size_t{run.count} * BlockSize, pieces,
                                     static_cast<int>(run.count), host);
        !s.ok())
      return s;
    if (progress) progress->advance(entry.fileSize - left, uint64_t{entry.fileSize});
  }
}

// Opens the host file without emptying it, then checks who it is: never the
// image itself, however it is spelled, and, when it holds something, only
// emptied once the whole chain is known to be sound, so a damaged image
// never costs the user that file. On failure the host path is as it was.
Status openTarget(Env& env, Image& img, const char* hostPath, const FileEntry& entry,
                  std::unique_ptr<File>* host, FileId* made) {
  FileId image, before;
  if (Status s = img.file().identity(&image); !s.ok()) return s;
  bool existed = env.stat(hostPath, &before).ok();
  if (existed && before.sameAs(image)) return Status::fail(Error::SameFile);
  // The path may name the file standard output already writes to (as
  // /dev/stdout does): the copy then goes through that same open file, so
  // what is printed after it follows it instead of overwriting it.
  std::unique_ptr<File> out;
  FileId outId;
  if (existed && env.openStandardOutput(&out).ok() && out->identity(&outId).ok() &&
      outId.sameAs(before)) {
    *host = std::move(out);
    *made = {};  // never emptied or removed: it is the caller's stream
    return {};
  }
  if (Status s = env.open(hostPath, OpenMode::Create, host); !s.ok()) return s.host();
  uint64_t size = 0;
  Status s = (*host)->identity(made);
  if (s.ok() && made->regular) s = (*host)->size(&size);
  if (!s.ok()) s = s.host();
  if (s.ok() && made->sameAs(image)) return Status::fail(Error::SameFile);
  if (s.ok() && size > 0) s = walkChain(img, entry, [](const Run&) { return Status{}; });
  // An empty file is left as it is: emptying it again would cost a flush at
  // close on hosts that guard files replaced by truncation.
  if (s.ok() && size > 0) {
    if (Status t = (*host)->truncate(0); !t.ok()) s = t.host();
  }
  if (!s.ok() && !existed) (void)env.remove(hostPath);  // made just now, and empty
  return s;
}

}  // namespace

Status fetchFile(Env& env, const char* imagePath, const char* hostPath, std::string_view name,
                 Progress* progress) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Read, &img); !s.ok()) return s;
  uint64_t slot = 0;
  FileEntry entry;
  if (Status s = img->findEntry(name, &slot, &entry); !s.ok()) return s;
  if (slot == img->entryCount()) return Status::fail(Error::NotStored);
  // An entry whose chain cannot even fit the image makes no host file.
  if (Status s = ChainWalker(*img).start(entry); !s.ok()) return s;
  std::unique_ptr<File> host;
  FileId made;
  if (Status s = openTarget(env, *img, hostPath, entry, &host, &made); !s.ok()) return s;
  if (Status s = copyOut(*img, *host, entry, progress); !s.ok()) {
    // A partial copy is worse than none; a pipe or a device stays as it is.
    removePartial(env, hostPath, made, host.get());
    return s;
  }
  if (Status c = host->close(); !c.ok()) {
    removePartial(env, hostPath, made, nullptr);
    return c.host();
  }
  return img->close();
}

}  // namespace korvane
