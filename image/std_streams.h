// Standard streams for a program that may be started with some of them
// closed.
#pragma once

namespace korvane {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later takes one of those numbers and gets the
// program's messages written into it. Call first thing in main. Returns false
// when a closed one could not be filled; the program must then stop without
// opening anything.
bool guardStandardStreams();

}  // namespace korvane
