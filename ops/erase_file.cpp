#include <iostream>

#include "image/remove.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {

void eraseFile(const char* imageName, const char* fileName, Env& env) {
  Status freed;
  Status s = removeFile(env, imageName, fileName, &freed);
  if (s.code == Error::NotStored) {
    std::cerr << "File: " << fileName << " does not exist!" << std::endl;
  } else if (!s.ok()) {
    reportImageFailure(s, "write", imageName);
  } else {
    std::cout << "File " << fileName << " removed from disk." << std::endl;
    if (!freed.ok())
      std::cerr << "Blocks of file " << fileName << " not freed: run a disk check!"
                << reason(freed) << std::endl;
  }
}

}  // namespace korvane
