// Erasing a stored file.
#pragma once

#include <string_view>
#include <vector>

#include "image/chain.h"
#include "image/env.h"
#include "image/image.h"
#include "image/layout.h"

namespace korvane {

// Removes stored file `name`. The whole chain is checked before the first
// write; the entry leaves the table, its blocks marked free, in one commit
// made safe against a power cut (see commit.h), and only then are the blocks
// zeroed. Once that commit is durable the call succeeds; *freed then tells
// whether zeroing failed afterwards (IoError), which leaves free blocks
// holding the old bytes: harmless, and a disk check zeroes them.
Status removeFile(Env& env, const char* imagePath, std::string_view name, Status* freed);

}  // namespace korvane
