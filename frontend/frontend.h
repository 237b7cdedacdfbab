// The two front ends: one operation chosen by switches, or the console.
#pragma once

#include <cstdint>

#include "image/env.h"

namespace korvane {

// Scans the switches, then runs one operation, prints the help screen or one
// error line, or hands over to the console. Always returns 0.
int runCommandLine(int argc, const char* const* argv);

// A size typed in kB, converted as atoi does but without its undefined
// overflow: the number read, taken as unsigned (so a negative one is huge);
// any number beyond 32 bits gives UINT32_MAX, which createDisk refuses as
// too big, never a wrapped small size.
uint32_t sizeFromText(const char* text);

// The host as both front ends use it: at a terminal, an operation that has
// to wait for another process's lock on an image says so in one line on
// standard error first. Through a pipe or into a file, nothing more is said.
Env& frontEnv();

// Reads commands word by word from standard input until "exit", the end of
// input or a read error; from lines edited by a person when standard input
// and output are a terminal.
void runConsole();

}  // namespace korvane
