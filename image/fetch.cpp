#include <memory>
#include <vector>

#include "image/fs.h"
#include "image/image.h"

namespace korvane {
namespace {

// Streams the chain's payloads to the host file, a run of blocks per call.
Status copyOut(Image& img, File& host, const FileEntry& entry) {
  ChainReader reader(img);
  if (Status s = reader.start(entry); !s.ok()) return s;
  iovec iov[ChainReader::Capacity];
  for (;;) {
    uint32_t count = 0;
    if (Status s = reader.next(&count); !s.ok()) return s;
    if (count == 0) return {};
    for (uint32_t i = 0; i < count; ++i) {
      bool last = reader.done() && i + 1 == count;
      iov[i] = {const_cast<unsigned char*>(reader.blocks()) + size_t{i} * BlockSize,
                last ? lastBlockBytesFor(entry.fileSize) : BlockPayload};
    }
    if (Status s = host.append(iov, static_cast<int>(count)); !s.ok()) return s.host();
  }
}

// Refuses a host path that names the image itself, however it is spelled.
Status checkTarget(Env& env, Image& img, const char* hostPath) {
  FileId target, image;
  if (!env.stat(hostPath, &target).ok()) return {};  // not there yet: it will be made
  if (Status s = img.file().identity(&image); !s.ok()) return s;
  return target.sameAs(image) ? Status::fail(Error::SameFile) : Status{};
}

}  // namespace

Status fetchFile(Env& env, const char* imagePath, const char* hostPath, std::string_view name) {
  std::unique_ptr<Image> img;
  if (Status s = Image::open(env, imagePath, Access::Read, &img); !s.ok()) return s;
  uint64_t slot = 0;
  FileEntry entry;
  if (Status s = img->findEntry(name, &slot, &entry); !s.ok()) return s;
  if (slot == img->entryCount()) return Status::fail(Error::NotStored);
  uint32_t blocks = 0;
  if (Status s = chainLength(*img, entry, &blocks); !s.ok()) return s;
  if (Status s = checkTarget(env, *img, hostPath); !s.ok()) return s;

  std::unique_ptr<File> host;
  if (Status s = env.open(hostPath, OpenMode::CreateTruncate, &host); !s.ok()) return s.host();
  FileId made;
  Status s = host->identity(&made);
  if (s.ok()) s = copyOut(*img, *host, entry);
  if (!s.ok()) {
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
