// Copying a host file into an image.
#pragma once

#include <string_view>

#include "image/env.h"
#include "image/layout.h"
#include "image/progress.h"

namespace korvane {

// Copies host file `hostPath` into the image under `name` (at most
// MaxNameLength bytes; the caller checks). Checks come in this order: the
// host file opens (HostOpenFailed, also for a folder), the image opens and
// is sound, FileTooLarge for a host file of more than MaxFileSize bytes,
// SameFile, NoSpace, Exists. A pipe, a device, or a file the host shows as
// empty is read to its end, taking blocks as its bytes come: NoSpace or
// FileTooLarge when they run out. HostIoError or HostChanged when reading
// the host file fails. Any failure leaves the image as it was: the blocks
// taken are zeroed and the entry is committed last, by tableEnd.
// `progress`, when given, is told the bytes read after each run.
Status storeFile(Env& env, std::string_view name, const char* imagePath, const char* hostPath,
                 Progress* progress = nullptr);

}  // namespace korvane
