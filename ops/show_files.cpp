#include <iomanip>
#include <iostream>

#include "image/fs.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {

void showFiles(const char* imageName, Env& env) {
  auto header = [] {
    std::cout << std::setw(4) << "NR" << std::setw(20) << "FILE NAME" << std::setw(10) << "SIZE"
              << std::endl;
  };
  int row = 1;
  auto printRow = [&row](const FileEntry& e) {
    std::cout << std::setw(4) << row++ << std::setw(20) << e.nameView() << std::setw(10)
              << fixed(e.fileSize / 1024.0, 2) << " kB" << std::endl;
  };
  Status s = listImage(env, imageName, header, printRow);
  if (s.code == Error::OpenFailed)
    std::cerr << "Cannot open virtual disk image!" << std::endl;
  else if (!s.ok())
    reportImageFailure(s, "read", imageName);
}

}  // namespace korvane
