// The image logic behind the user operations. Each call opens what it
// needs, does its work, closes, and tells the outcome as a Status; none of
// them prints, so a checker or a mount can call them as they are.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "image/env.h"
#include "image/layout.h"

namespace korvane {

struct Geometry {
  uint32_t blockCount = 0;
  uint32_t dataOffset = 0;
  uint32_t imageBytes = 0;
};

// Creates (or replaces) `path` as an empty image for `diskSizeKb` kB.
// TooLarge, before anything is opened, when the image would not fit the
// format. On a failure after opening, the partial file is removed when it
// is a regular file, so no image whose header disagrees with its length is
// ever left behind.
Status makeImage(Env& env, const char* path, uint32_t diskSizeKb, Geometry* out);

struct StatReport {
  uint32_t blockCount = 0;
  uint32_t usedBlocks = 0;
  std::vector<unsigned char> bitmap;  // bitmapBytes(blockCount) bytes
};
// Reads the header and the whole bitmap (at most 130 kB in a sound image).
Status statImage(Env& env, const char* path, StatReport* out);

// Once the image is open and sound, calls `start`, then `row` for each used
// table entry in slot order.
Status listImage(Env& env, const char* path, const std::function<void()>& start,
                 const std::function<void(const FileEntry&)>& row);

// Copies host file `hostPath` into the image under `name` (at most
// MaxNameLength bytes; the caller checks). Checks come in this order: the
// host file opens, the image opens and is sound, TooLarge for a host file of
// 4 GiB or more, SameFile, NoSpace, Exists. Failures of the host file are
// marked onHost. Any failure leaves the image as it was: the blocks taken
// are released and the entry is committed last, by tableEnd.
Status storeFile(Env& env, std::string_view name, const char* imagePath, const char* hostPath);

// Copies stored file `name` out to `hostPath`: image opens and is sound,
// NotStored, SameFile, then the host file is made. The host path is
// untouched unless the name is stored; when a later failure leaves a partial
// host file that is a regular file, it is removed.
Status fetchFile(Env& env, const char* imagePath, const char* hostPath, std::string_view name);

// Removes stored file `name`. The whole chain is checked before the first
// write; the entry leaves the table before any block is freed or zeroed.
Status removeFile(Env& env, const char* imagePath, std::string_view name);

}  // namespace korvane
