#include "image/std_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {

bool guardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open by now, so open() hands out exactly this one.
    int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got != fd) {
      if (got >= 0) close(got);
      return false;
    }
  }
  return true;
}

}  // namespace korvane
