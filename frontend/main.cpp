#include "frontend/frontend.h"

int main(int argc, char** argv) { return korvane::runCommandLine(argc, argv); }
