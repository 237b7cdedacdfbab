// The seven user operations. Each opens what it needs, does its work, closes,
// and reports its outcome only by the lines it prints: results on standard
// output, refusals and errors on standard error. `env` is the host, or a
// stand-in under test.
#pragma once

#include <cstdint>

#include "image/env.h"

namespace korvane {

void createDisk(const char* imageName, uint32_t diskSize, Env& env = Env::host());
void deleteDisk(const char* imageName, Env& env = Env::host());
void showStat(const char* imageName, Env& env = Env::host());
void showFiles(const char* imageName, Env& env = Env::host());
// The status report, then the listing: what both front ends show as status.
void showStatus(const char* imageName, Env& env = Env::host());
void writeFile(const char* fileName, const char* imageName, const char* filePath,
               Env& env = Env::host());
void readFile(const char* imageName, const char* filePath, const char* fileName,
              Env& env = Env::host());
void eraseFile(const char* imageName, const char* fileName, Env& env = Env::host());

}  // namespace korvane
