#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string_view>

#include "frontend/frontend.h"
#include "ops/ops.h"

namespace korvane {
namespace {

enum class Op { None, Create, Delete, Status, Listing, Write, Read, Erase };

struct Choice {
  Op op = Op::None;
  const char* imageName = "out.img";
  uint32_t size = 4;
  const char* first = nullptr;
  const char* second = nullptr;
};

void printHelp() {
  std::cout << "Korvane v1.0.0" << std::endl;
  std::cout << "Run app for commands console or use it with arguments to achieve your goals."
            << std::endl;
  std::cout << "Aviable arguments:" << std::endl;
  static const char* const rows[][2] = {
      {"-c", " Create new virtual disk image"},
      {"-d", " Deletes virtual disk image"},
      {"-m", " Show disk status"},
      {"-s [size]", " Specify size of virtual disk image"},
      {"-o [name]", " Specify name of virtual disk image"},
      {"-f", " Show files on virtual disk"},
      {"-w [fileName] [filePath]", " Copy file from hard drive to disk image"},
      {"-r [filePath] [fileName]", " Copy file from disk image to hard drive"},
      {"-e [fileName]", " Erase file from disk image"},
      {"-h", " Show this help"},
  };
  std::cout << std::left;
  for (const auto& row : rows) std::cout << std::setw(24) << row[0] << row[1] << std::endl;
  std::cout.unsetf(std::ios::adjustfield);
}

// Scans argv; returns false when the run ends here (help or an error line).
bool scan(int argc, const char* const* argv, Choice* c) {
  auto choose = [c](Op op) {
    if (c->op != Op::None) {
      std::cerr << "Incorrect arguments set! Cannot do more than one operation at time."
                << std::endl;
      return false;
    }
    c->op = op;
    return true;
  };
  for (int i = 1; i < argc;) {
    std::string_view arg = argv[i];
    // Values a switch takes: never read past the argument list.
    auto needs = [&](int values) {
      if (i + values < argc) return true;
      std::cerr << "Missing value for argument " << arg << "! Try -h for help and usage."
                << std::endl;
      return false;
    };
    if (arg == "-h") {
      printHelp();
      return false;
    } else if (arg == "-c" || arg == "-d" || arg == "-m" || arg == "-f") {
      Op op = arg == "-c" ? Op::Create : arg == "-d" ? Op::Delete : arg == "-m" ? Op::Status
                                                                                : Op::Listing;
      if (!choose(op)) return false;
      i += 1;
    } else if (arg == "-w" || arg == "-r") {
      if (!choose(arg == "-w" ? Op::Write : Op::Read) || !needs(2)) return false;
      c->first = argv[i + 1];
      c->second = argv[i + 2];
      i += 3;
    } else if (arg == "-e") {
      if (!choose(Op::Erase) || !needs(1)) return false;
      c->first = argv[i + 1];
      i += 2;
    } else if (arg == "-s" && c->op == Op::Create) {
      if (!needs(1)) return false;
      c->size = sizeFromText(argv[i + 1]);
      if (c->size == 0) {
        std::cerr << "Not proper virtual disk size passed!" << std::endl;
        return false;
      }
      i += 2;
    } else if (arg == "-s") {
      i += 1;  // a size before create is passed over
    } else if (arg == "-o") {
      if (!needs(1)) return false;
      c->imageName = argv[i + 1];
      i += 2;
    } else {
      std::cerr << "Not recognized argument passed! Try -h for help and usage." << std::endl;
      return false;
    }
  }
  return true;
}

void run(const Choice& c) {
  switch (c.op) {
    case Op::None: runConsole(std::cin); break;
    case Op::Create: createDisk(c.imageName, c.size); break;
    case Op::Delete: deleteDisk(c.imageName); break;
    case Op::Status:
      showStat(c.imageName);
      showFiles(c.imageName);
      break;
    case Op::Listing: showFiles(c.imageName); break;
    case Op::Write: writeFile(c.first, c.imageName, c.second); break;
    case Op::Read: readFile(c.imageName, c.first, c.second); break;
    case Op::Erase: eraseFile(c.imageName, c.first); break;
  }
}

}  // namespace

uint32_t sizeFromText(const char* text) {
  return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}

int runCommandLine(int argc, const char* const* argv) {
  Choice c;
  if (scan(argc, argv, &c)) run(c);
  return 0;
}

}  // namespace korvane
