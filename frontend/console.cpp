#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "frontend/frontend.h"
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
  // Reads the next word; false at the end of input or on a read error.
  bool word(std::string* w) {
    std::cout.flush();
    return static_cast<bool>(in_ >> *w);
  }
  // Runs one command; false when the console ends.
  bool command(const std::string& cmd);
  bool needsMount() {
    if (mounted_) return true;
    std::cout << "There is no mounted disk" << std::endl;
    return false;
  }
  bool mount();

  std::istream& in_;
  std::optional<std::string> mounted_;
};

void Console::run() {
  std::cout << ">Korvane v1.0.0" << std::endl;
  std::cout << ">If you don't know what to do try typing \"help\"" << std::endl;
  std::cout << ">";
  std::string cmd;
  while (word(&cmd) && command(cmd)) std::cout << ">";
}

bool Console::mount() {
  std::string name;
  if (!word(&name)) return false;
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
  std::string a, b;
  if (cmd == "exit") return false;
  if (cmd == "help") {
    printHelp();
  } else if (cmd == "create") {
    if (!word(&a) || !word(&b)) return false;
    createDisk(a.c_str(), sizeFromText(b.c_str()));
  } else if (cmd == "mount") {
    return mount();
  } else if (cmd == "unmount") {
    if (!needsMount()) return true;
    mounted_.reset();
    std::cout << "Disk unmounted" << std::endl;
  } else if (cmd == "delete") {
    if (!needsMount()) return true;
    std::cout << "Disk " << *mounted_ << " unmounted." << std::endl;
    deleteDisk(mounted_->c_str());
    mounted_.reset();
  } else if (cmd == "showStat") {
    if (!needsMount()) return true;
    showStat(mounted_->c_str());
    showFiles(mounted_->c_str());
  } else if (cmd == "showFiles") {
    if (needsMount()) showFiles(mounted_->c_str());
  } else if (cmd == "write") {
    if (!needsMount()) return true;
    if (!word(&a) || !word(&b)) return false;
    writeFile(a.c_str(), mounted_->c_str(), b.c_str());
  } else if (cmd == "read") {
    if (!needsMount()) return true;
    if (!word(&a) || !word(&b)) return false;
    readFile(mounted_->c_str(), a.c_str(), b.c_str());
  } else if (cmd == "erase") {
    if (!needsMount()) return true;
    if (!word(&a)) return false;
    eraseFile(mounted_->c_str(), a.c_str());
  } else {
    std::cout << "Command not recognized! Try \"help\" for available commands." << std::endl;
  }
  return true;
}

}  // namespace

void runConsole(std::istream& in) { Console(in).run(); }

}  // namespace korvane
