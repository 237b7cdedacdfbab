// Copying a stored file out of an image.
#pragma once

#include <string_view>

#include "image/env.h"
#include "image/layout.h"
#include "image/progress.h"

namespace korvane {

// Copies stored file `name` out to `hostPath`: image opens and is sound,
// NotStored, SameFile, then the host file is made (HostOpenFailed) and
// written (HostIoError). The host path is untouched unless the name is
// stored; when a later failure leaves a partial host file that is a regular
// file, it is removed. `progress`, when given, is told the bytes written
// after each run.
Status fetchFile(Env& env, const char* imagePath, const char* hostPath, std::string_view name,
                 Progress* progress = nullptr);

}  // namespace korvane
