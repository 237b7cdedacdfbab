#include <unistd.h>

#include <iomanip>
#include <iostream>
#include <string>
#include <string_view>

#include "image/report.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {
namespace {

// A stored name may hold any byte. Sent raw to a terminal, control bytes
// could move the cursor, recolour or retitle it, or break the table with a
// line end, so there each one shows as '?', as ls -q does; the width stays
// the byte count, keeping the columns. A pipe or a file gets every byte.
std::string shownName(std::string_view name, bool terminal) {
  std::string out(name);
  if (terminal)
    for (char& c : out)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

}  // namespace

void showFiles(const char* imageName, Env& env) {
  auto header = [] {
    std::cout << std::setw(4) << "NR" << std::setw(20) << "FILE NAME" << std::setw(10) << "SIZE"
              << std::endl;
  };
  bool terminal = isatty(STDOUT_FILENO) == 1;
  int row = 1;
  auto printRow = [&row, terminal](const FileEntry& e) {
    std::cout << std::setw(4) << row++ << std::setw(20) << shownName(e.nameView(), terminal)
              << std::setw(10)
              << fixed(e.fileSize / 1024.0, 2) << " kB" << std::endl;
  };
  Status s = listImage(env, imageName, header, printRow);
  if (!s.ok()) reportImageFailure(s, "read", imageName);
}

}  // namespace korvane
