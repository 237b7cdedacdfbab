// Error lines shared by several operations, so one condition reads the same
// whichever operation meets it.
#pragma once

#include <string>

#include "image/status.h"

namespace korvane {

// Prints the line for an image that cannot be opened, is damaged, locked,
// or failing I/O. `verb` says what was being done ("read" or "write");
// `openLine` is the operation's own line for an image that cannot be opened.
// A damaged image's line names `imageName` in the checker's command that
// looks at it and mends it.
void reportImageFailure(const Status& s, const char* verb, const char* imageName,
                        const char* openLine = "Cannot open virtual disk image!");

// " (reason)" for a failure that carries an errno, else "".
std::string reason(const Status& s);

// A double in fixed notation with `decimals` places.
std::string fixed(double value, int decimals);

}  // namespace korvane
