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
// write; the entry leaves the table, durably, before any block is freed or
// zeroed. Once that is done the call succeeds; *freed then tells whether
// freeing the blocks failed afterwards (IoError), which leaves them marked
// used: harmless, and a disk check frees them.
Status removeFile(Env& env, const char* imagePath, std::string_view name, Status* freed);

// The same on an image already open for writing, which stays open: a
// program that holds the image erases through this.
Status removeEntry(Image& img, std::string_view name, Status* freed);

// The first half of removeEntry: the entry leaves the table, the later
// entries moved down (*moved), and tableEnd is lowered in memory only;
// nothing is synced and no block freed. The caller syncs when entries
// moved, writes tableEnd, and syncs again before it frees *runs (none when
// another entry starts within them). Erases one after another may share
// those steps: each leaves the slots past the lowered tableEnd as it would
// alone. A crash before tableEnd is written shows erased entries, or later
// entries twice, and loses none; their blocks are still marked used, and a
// checker mends both. Errors as removeFile's.
Status unlinkEntry(Image& img, std::string_view name, std::vector<Run>* runs, bool* moved);

// The second half: commits the unlinks made since the last commit. A sync
// when entries moved (`moved`), so they are on the disk before tableEnd
// drops below them; tableEnd; and, with `syncEnd`, a sync, after which the
// erased files are gone for good and their blocks may be freed. Without
// it, the next sync carries tableEnd, and nothing may be freed before.
Status commitUnlinks(Image& img, bool moved, bool syncEnd);

}  // namespace korvane
