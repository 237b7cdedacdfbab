#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/frontend.h"
#include "frontend/version.h"
#include "ops/ops.h"

namespace korvane {
namespace {

void printHelp() {
  std::cout << ">Korvane help:" << std::endl;
  std::cout << ">Use commands to manage virtual file system" << std::endl;
  std::cout << ">Aviable commands:" << std::endl;
  static const char* const rows[][2] = {
      {">create [diskName] [diskSize]", "- create virtual disk image of specified name and size in kB"},
      {">delete", "- delete mounted virtual disk image (and unmount it)"},
      {">mount [diskName]", "- mount disk image of specified name"},
      {">unmount", "- unmount mounted disk image"},
      {">showStat", "- show statistics for mounted disk image"},
      {">showFiles", "- show files on mounted disk image"},
      {">write [fileName] [filePath]", "- copy file from hard drive to mounted disk"},
      {">read [filePath] [fileName]", "- copy file from mounted disk to hard drive"},
      {">erase [fileName]", "- erase file of specific name from mounted disk"},
      {">exit", "- close console"},
      {">help", "- show this help"},
  };
  std::cout << std::left;
  for (const auto& row : rows) std::cout << std::setw(30) << row[0] << row[1] << std::endl;
  std::cout.unsetf(std::ios::adjustfield);
}

class Console {
 public:
  explicit Console(std::istream& in) : in_(in) {}
  void run();

 private:
  struct Command {
    std::string_view word;
    bool needsMount;  // refused, before its words are read, with no image mounted
    int words;        // words that follow it
    // Runs it with its words; false when the console ends.
    bool (Console::*action)(const std::string* args);
  };
  static const Command Commands[];

  // Reads the next word; false at the end of input or on a read error.
  bool word(std::string* w) {
    std::cout.flush();
    return static_cast<bool>(in_ >> *w);
  }
  // Runs one command; false when the console ends.
  bool command(const std::string& cmd);

  bool exit(const std::string*) { return false; }
  bool help(const std::string*) {
    printHelp();
    return true;
  }
  bool create(const std::string* a) {
    createDisk(a[0].c_str(), sizeFromText(a[1].c_str()));
    return true;
  }
  bool mount(const std::string* a);
  bool unmount(const std::string*) {
    mounted_.reset();
    std::cout << "Disk unmounted" << std::endl;
    return true;
  }
  bool remove(const std::string*) {
    std::cout << "Disk " << *mounted_ << " unmounted." << std::endl;
    deleteDisk(mounted_->c_str());
    mounted_.reset();
    return true;
  }
  bool status(const std::string*) {
    showStatus(mounted_->c_str());
    return true;
  }
  bool files(const std::string*) {
    showFiles(mounted_->c_str());
    return true;
  }
  bool write(const std::string* a) {
    writeFile(a[0].c_str(), mounted_->c_str(), a[1].c_str());
    return true;
  }
  bool read(const std::string* a) {
    readFile(mounted_->c_str(), a[0].c_str(), a[1].c_str());
    return true;
  }
  bool erase(const std::string* a) {
    eraseFile(mounted_->c_str(), a[0].c_str());
    return true;
  }

  std::istream& in_;
  std::optional<std::string> mounted_;
};

const Console::Command Console::Commands[] = {
    {"exit", false, 0, &Console::exit},         {"help", false, 0, &Console::help},
    {"create", false, 2, &Console::create},     {"mount", false, 1, &Console::mount},
    {"unmount", true, 0, &Console::unmount},    {"delete", true, 0, &Console::remove},
    {"showStat", true, 0, &Console::status},    {"showFiles", true, 0, &Console::files},
    {"write", true, 2, &Console::write},        {"read", true, 2, &Console::read},
    {"erase", true, 1, &Console::erase},
};

void Console::run() {
  std::cout << ">Korvane v" << Version << std::endl;
  std::cout << ">If you don't know what to do try typing \"help\"" << std::endl;
  std::cout << ">";
  std::string cmd;
  while (word(&cmd) && command(cmd)) std::cout << ">";
}

bool Console::mount(const std::string* a) {
  const std::string& name = a[0];
  if (mounted_) {
    std::cout << "Unmount disk first" << std::endl;
    return true;
  }
  // A test that the file opens and could hold an image, nothing more: no
  // lock, nothing read. A directory opens for reading too, but holds none.
  std::unique_ptr<File> f;
  FileId id;
  if (Env::host().open(name.c_str(), OpenMode::Read, &f).ok() && f->identity(&id).ok() &&
      id.regular) {
    mounted_ = name;
    std::cout << "Disk " << name << " mounted" << std::endl;
  } else {
    std::cerr << "Cannot open " << name << " disk image!" << std::endl;
  }
  return true;
}

bool Console::command(const std::string& cmd) {
  for (const Command& c : Commands) {
    if (cmd != c.word) continue;
    if (c.needsMount && !mounted_) {
      std::cout << "There is no mounted disk" << std::endl;
      return true;
    }
    std::string args[2];
    for (int i = 0; i < c.words; ++i)
      if (!word(&args[i])) return false;
    return (this->*c.action)(args);
  }
  std::cout << "Command not recognized! Try \"help\" for available commands." << std::endl;
  return true;
}

}  // namespace

void runConsole(std::istream& in) { Console(in).run(); }

}  // namespace korvane
