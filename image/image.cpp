#include "image/image.h"


namespace korvane {

Status openImageFile(Env& env, const char* path, OpenMode mode, LockMode lock, int waitMs,
                     std::unique_ptr<File>* f) {
  if (Status s = env.open(path, mode, f); !s.ok()) return s;
  FileId id;
  if (Status s = (*f)->identity(&id); !s.ok()) return s;
  // A directory, a device or a pipe is no image: it has no length to check
  // a header against, and reading a pipe would wait for a writer.
  if (!id.regular) return Status::fail(Error::OpenFailed, id.directory ? EISDIR : EINVAL);
  if (Status s = lockWaiting(env, path, **f, lock, waitMs); !s.ok()) return s;
  // The run that held the lock may have deleted the image: what is still
  // open would be written to no name, and lost with the last close.
  FileId now;
  if (!env.stat(path, &now).ok() || !now.sameAs(id)) return Status::fail(Error::OpenFailed, ENOENT);
  return {};
}

Status readHeader(File& f, Header* h, uint64_t* length) {
  *h = {};
  if (Status s = f.size(length); !s.ok()) return s;
  if (*length < HeaderSize) return {};
  unsigned char raw[HeaderSize];
  if (Status s = readExact(f, 0, raw, HeaderSize); !s.ok())
    return s.code == Error::ShortRead ? Status::fail(Error::Damaged) : s;
  *h = decodeHeader(raw);
  return {};
}

Status Image::open(Env& env, const char* path, Access access, std::unique_ptr<Image>* out,
                   int waitMs) {
  std::unique_ptr<File> f;
  bool write = access == Access::Write;
  if (Status s = openImageFile(env, path, write ? OpenMode::ReadWrite : OpenMode::Read,
                               write ? LockMode::Exclusive : LockMode::Shared, waitMs, &f);
      !s.ok())
    return s;

  return adopt(f, out);
}

Status Image::adopt(std::unique_ptr<File>& f, std::unique_ptr<Image>* out) {
  Header h;
  uint64_t length = 0;
  if (Status s = readHeader(*f, &h, &length); !s.ok()) return s;
  if (!judgeHeader(length, h).sound()) return Status::fail(Error::Damaged);
  out->reset(new Image(std::move(f), h));
  return {};
}

Status Image::findEntry(std::string_view name, uint64_t* slot, FileEntry* entry) {
  *slot = entryCount();
  return forEachEntry([&](uint64_t i, const FileEntry& e) {
    if (!e.hasName(name)) return true;
    *slot = i;
    *entry = e;
    return false;
  });
}

Status Image::writeTableEnd(uint32_t tableEnd) {
  unsigned char raw[4];
  encodeU32(raw, tableEnd);
  if (Status s = writeAt(*file_, TableEndOffset, raw, sizeof raw); !s.ok()) return s;
  header_.tableEnd = tableEnd;
  return {};
}

}  // namespace korvane
