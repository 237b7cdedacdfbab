#include <cstring>
#include <iostream>

#include "image/store.h"
#include "ops/messages.h"
#include "ops/ops.h"
#include "ops/progress_line.h"

namespace korvane {

void writeFile(const char* fileName, const char* imageName, const char* filePath, Env& env) {
  if (std::strlen(fileName) > MaxNameLength) {
    std::cerr << "File name is too long! (Max length for file name is " << MaxNameLength << ")"
              << std::endl;
    return;
  }
  Status s;
  {
    ProgressLine progress(filePath);  // wiped before any message below
    s = storeFile(env, fileName, imageName, filePath, &progress);
  }
  switch (s.code) {
    case Error::Ok: break;
    case Error::HostOpenFailed:
      std::cerr << "Cannot open file: " << filePath << "!" << std::endl;
      break;
    case Error::HostIoError:
    case Error::HostChanged:
      std::cerr << "Cannot read file: " << filePath << "!" << reason(s) << std::endl;
      break;
    case Error::FileTooLarge:
      std::cerr << "File is too big! (Max size for file is " << MaxFileSize << " B)" << std::endl;
      break;
    case Error::SameFile:
      std::cerr << "Cannot write virtual disk image into itself!" << std::endl;
      break;
    case Error::NoSpace:
      std::cerr << "Not enought space on disk for file: " << fileName << std::endl;
      break;
    case Error::Exists:
      std::cerr << "File " << fileName << " already exist on disk!" << std::endl;
      break;
    default:
      reportImageFailure(s, "write", imageName);
      break;
  }
}

}  // namespace korvane
