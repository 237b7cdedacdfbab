#include <cstring>
#include <iostream>

#include "image/fs.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {
namespace {

void reportHostFailure(const Status& s, const char* filePath) {
  if (s.code == Error::OpenFailed)
    std::cerr << "Cannot open file: " << filePath << "!" << std::endl;
  else if (s.code == Error::TooLarge)
    std::cerr << "File is too big! (Max size for file is 4294967295 B)" << std::endl;
  else
    std::cerr << "Cannot read file: " << filePath << "!" << reason(s) << std::endl;
}

}  // namespace

void writeFile(const char* fileName, const char* imageName, const char* filePath, Env& env) {
  if (std::strlen(fileName) > MaxNameLength) {
    std::cerr << "File name is too long! (Max length for file name is " << MaxNameLength << ")"
              << std::endl;
    return;
  }
  Status s = storeFile(env, fileName, imageName, filePath);
  if (s.ok()) return;
  if (s.onHost) return reportHostFailure(s, filePath);
  switch (s.code) {
    case Error::OpenFailed:
      std::cerr << "Cannot open virtual disk image!" << std::endl;
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
