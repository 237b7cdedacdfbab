#include <iostream>

#include "image/create.h"
#include "ops/messages.h"
#include "ops/ops.h"

namespace korvane {

void createDisk(const char* imageName, uint32_t diskSize, Env& env) {
  Geometry g;
  Status s = makeImage(env, imageName, diskSize, &g);
  if (s.code == Error::TooLarge) {
    std::cerr << "Disk size is too big! (Max size for disk is " << MaxDiskSizeKb << " kB)"
              << std::endl;
    return;
  }
  if (!s.ok()) return reportImageFailure(s, "write", imageName, "Cannot create virtual disk image!");
  std::cout << "Created virtual disk image: " << imageName << std::endl;
  std::cout << "Data blocks count: " << g.blockCount << std::endl;
  std::cout << "Aviable data space: " << g.blockCount * (BlockSize / 1024) << "kB" << std::endl;
  std::cout << "Real disk image size: " << g.imageBytes << "B" << std::endl;
}

void deleteDisk(const char* imageName, Env& env) {
  // Only a regular file can hold an image. A directory, pipe or device is
  // refused rather than removed: it is nothing this program made. A link that
  // leads to a regular file, or nowhere, is removed itself; its target stays.
  Status s = removeImage(env, imageName);
  if (s.ok())
    std::cout << "Disk image " << imageName << " removed." << std::endl;
  else if (s.code == Error::Locked)
    reportImageFailure(s, "remove", imageName, "");
  else
    std::cerr << "Cannot remove disk image!" << std::endl;
}

}  // namespace korvane
