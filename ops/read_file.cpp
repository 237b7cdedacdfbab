#include <iostream>

#include "image/fetch.h"
#include "ops/messages.h"
#include "ops/ops.h"
#include "ops/progress_line.h"

namespace korvane {

void readFile(const char* imageName, const char* filePath, const char* fileName, Env& env) {
  Status s;
  {
    ProgressLine progress(filePath);  // wiped before any message below
    s = fetchFile(env, imageName, filePath, fileName, &progress);
  }
  switch (s.code) {
    case Error::Ok:
      std::cout << "File " << filePath << " created succefully!" << std::endl;
      break;
    case Error::HostOpenFailed:
      std::cerr << "Cannot create file: " << filePath << "!" << std::endl;
      break;
    case Error::HostIoError:
      std::cerr << "Cannot write file: " << filePath << "!" << reason(s) << std::endl;
      break;
    case Error::NotStored:
      std::cerr << "File " << fileName << " does not exist!" << std::endl;
      break;
    case Error::SameFile:
      std::cerr << "Cannot read file into the virtual disk image itself!" << std::endl;
      break;
    default:
      reportImageFailure(s, "read", imageName);
      break;
  }
}

}  // namespace korvane
