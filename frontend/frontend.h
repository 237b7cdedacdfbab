// The two front ends: one operation chosen by switches, or the console.
#pragma once

#include <istream>

namespace korvane {

// Scans the switches, then runs one operation, prints the help screen or one
// error line, or hands over to the console. Always returns 0.
int runCommandLine(int argc, const char* const* argv);

// Reads commands word by word from `in` until "exit", the end of input or a
// read error.
void runConsole(std::istream& in);

}  // namespace korvane
