#include "frontend/frontend.h"
#include "image/std_streams.h"

int main(int argc, char** argv) {
  // Without somewhere safe for messages to go, nothing is safe to open.
  if (!korvane::guardStandardStreams()) return 0;
  return korvane::runCommandLine(argc, argv);
}
