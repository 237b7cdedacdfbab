#include <iostream>

#include "image/fs.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {

void readFile(const char* imageName, const char* filePath, const char* fileName, Env& env) {
  Status s = fetchFile(env, imageName, filePath, fileName);
  if (s.ok()) {
    std::cout << "File " << filePath << " created succefully!" << std::endl;
  } else if (s.onHost) {
    if (s.code == Error::OpenFailed)
      std::cerr << "Cannot create file: " << filePath << "!" << std::endl;
    else
      std::cerr << "Cannot write file: " << filePath << "!" << reason(s) << std::endl;
  } else if (s.code == Error::OpenFailed) {
    std::cerr << "Cannot open virtual disk image!" << std::endl;
  } else if (s.code == Error::NotStored) {
    std::cerr << "File " << fileName << " does not exist!" << std::endl;
  } else if (s.code == Error::SameFile) {
    std::cerr << "Cannot read file into the virtual disk image itself!" << std::endl;
  } else {
    reportImageFailure(s, "read", imageName);
  }
}

}  // namespace korvane
