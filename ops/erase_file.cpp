#include <iostream>

#include "image/fs.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {

void eraseFile(const char* imageName, const char* fileName, Env& env) {
  Status s = removeFile(env, imageName, fileName);
  if (s.ok() || s.committed)
    std::cout << "File " << fileName << " removed from disk." << std::endl;
  if (s.ok()) return;
  if (s.committed)
    std::cerr << "Blocks of file " << fileName << " not freed: run a disk check!" << reason(s)
              << std::endl;
  else if (s.code == Error::OpenFailed)
    std::cerr << "Cannot open virtual disk image!" << std::endl;
  else if (s.code == Error::NotStored)
    std::cerr << "File: " << fileName << " does not exist!" << std::endl;
  else
    reportImageFailure(s, "write", imageName);
}

}  // namespace korvane
