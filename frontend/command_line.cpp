#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string_view>

#include "frontend/frontend.h"
#include "frontend/version.h"
#include "ops/ops.h"

namespace korvane {
namespace {

enum class Op { None, Create, Delete, Status, Listing, Write, Read, Erase };

struct Choice {
  Op op = Op::None;
  const char* imageName = "out.img";
  uint32_t size = 4;
  const char* fileName = nullptr;  // the stored file's name
  const char* filePath = nullptr;  // the host file's path
};

void printHelp() {
  std::cout << "Korvane v" << Version << std::endl;
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

// The switches that choose an operation, and where the values that follow
// each one go, in order.
using Slot = const char* Choice::*;
struct OpSwitch {
  std::string_view text;
  Op op;
  int values;
  Slot slots[2];
};
constexpr OpSwitch OpSwitches[] = {
    {"-c", Op::Create, 0, {}},
    {"-d", Op::Delete, 0, {}},
    {"-m", Op::Status, 0, {}},
    {"-f", Op::Listing, 0, {}},
    {"-w", Op::Write, 2, {&Choice::fileName, &Choice::filePath}},
    {"-r", Op::Read, 2, {&Choice::filePath, &Choice::fileName}},
    {"-e", Op::Erase, 1, {&Choice::fileName}},
};

bool choose(Choice* c, Op op) {
  if (c->op == Op::None) {
    c->op = op;
    return true;
  }
  std::cerr << "Incorrect arguments set! Cannot do more than one operation at time." << std::endl;
  return false;
}

// Whether `values` arguments follow the switch: never read past the list.
bool hasValues(std::string_view arg, int values, int left) {
  if (values <= left) return true;
  std::cerr << "Missing value for argument " << arg << "! Try -h for help and usage." << std::endl;
  return false;
}

// Examines argv[i]; returns how many arguments it consumed, or 0 when the
// run ends here (the help screen or an error line).
int step(int argc, const char* const* argv, int i, Choice* c) {
  std::string_view arg = argv[i];
  int left = argc - i - 1;
  if (arg == "-h") {
    printHelp();
    return 0;
  }
  for (const OpSwitch& sw : OpSwitches) {
    if (arg != sw.text) continue;
    if (!choose(c, sw.op) || !hasValues(arg, sw.values, left)) return 0;
    for (int v = 0; v < sw.values; ++v) c->*sw.slots[v] = argv[i + 1 + v];
    return 1 + sw.values;
  }
  if (arg == "-s" && c->op != Op::Create) return 1;  // a size before create is passed over
  if (arg == "-s" || arg == "-o") {
    if (!hasValues(arg, 1, left)) return 0;
    if (arg == "-o") {
      c->imageName = argv[i + 1];
    } else if ((c->size = sizeFromText(argv[i + 1])) == 0) {
      std::cerr << "Not proper virtual disk size passed!" << std::endl;
      return 0;
    }
    return 2;
  }
  std::cerr << "Not recognized argument passed! Try -h for help and usage." << std::endl;
  return 0;
}

// Scans argv; returns false when the run ends here (help or an error line).
bool scan(int argc, const char* const* argv, Choice* c) {
  for (int i = 1; i < argc;) {
    int used = step(argc, argv, i, c);
    if (used == 0) return false;
    i += used;
  }
  return true;
}

void run(const Choice& c) {
  Env& env = frontEnv();
  switch (c.op) {
    case Op::None: runConsole(); break;
    case Op::Create: createDisk(c.imageName, c.size, env); break;
    case Op::Delete: deleteDisk(c.imageName, env); break;
    case Op::Status: showStatus(c.imageName, env); break;
    case Op::Listing: showFiles(c.imageName, env); break;
    case Op::Write: writeFile(c.fileName, c.imageName, c.filePath, env); break;
    case Op::Read: readFile(c.imageName, c.filePath, c.fileName, env); break;
    case Op::Erase: eraseFile(c.imageName, c.fileName, env); break;
  }
}

// The host, which tells a person at a terminal why a run stands still.
class FrontEnv final : public Env {
 public:
  Status open(const char* path, OpenMode mode, std::unique_ptr<File>* file) override {
    return host_.open(path, mode, file);
  }
  Status stat(const char* path, FileId* id) override { return host_.stat(path, id); }
  Status linkStat(const char* path, FileId* id) override { return host_.linkStat(path, id); }
  Status remove(const char* path) override { return host_.remove(path); }
  Status openStandardOutput(std::unique_ptr<File>* file) override {
    return host_.openStandardOutput(file);
  }
  void lockBusy(const char* path, int waitMs) override {
    // A pipe or a file gets exactly what it always did; only a person
    // watching a silent pause needs telling.
    if (::isatty(STDERR_FILENO) != 1) return;
    std::cerr << "korvane: " << path << " is in use by another process; waiting up to "
              << (waitMs + 999) / 1000 << " s..." << std::endl;
  }

 private:
  Env& host_ = Env::host();
};

}  // namespace

Env& frontEnv() {
  static FrontEnv env;
  return env;
}

uint32_t sizeFromText(const char* text) {
  // strtoll stops at its own limits instead of overflowing; a number outside
  // int and unsigned alike would wrap to a small, wrong size when cut to 32
  // bits, so it becomes the largest u32, which no image can have.
  long long n = std::strtoll(text, nullptr, 10);
  if (n > UINT32_MAX || n < INT32_MIN) return UINT32_MAX;
  return static_cast<uint32_t>(n);
}

int runCommandLine(int argc, const char* const* argv) {
  Choice c;
  if (scan(argc, argv, &c)) run(c);
  return 0;
}

}  // namespace korvane
