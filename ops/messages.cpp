#include "ops/messages.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace korvane {

std::string reason(const Status& s) {
  if (s.code == Error::HostChanged) return " (file changed while it was copied)";
  if (s.sysErr == 0) return "";
  return std::string(" (") + std::strerror(s.sysErr) + ")";
}

void reportImageFailure(const Status& s, const char* verb, const char* imageName,
                        const char* openLine) {
  // "--" keeps a name that starts with a dash from being read as a switch.
  const char* guard = imageName[0] == '-' ? "-- " : "";
  switch (s.code) {
    case Error::OpenFailed:
      std::cerr << openLine << std::endl;
      break;
    case Error::Damaged:
    case Error::ShortRead:  // the image ends before its own header says
      std::cerr << "Virtual disk image is damaged! Run fsck.korvane " << guard << imageName
                << " to check it (add -y to repair it)." << std::endl;
      break;
    case Error::Locked:
      std::cerr << "Virtual disk image is in use by another process!" << std::endl;
      break;
    default:
      std::cerr << "Cannot " << verb << " virtual disk image!" << reason(s) << std::endl;
      break;
  }
}

std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

}  // namespace korvane
