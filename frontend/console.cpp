#include <unistd.h>

#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/completion.h"
#include "frontend/frontend.h"
#include "frontend/line_editor.h"
#include "frontend/version.h"
#include "frontend/word_source.h"
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

// What the word a command waits for names, for completion.
enum class Kind { Other, HostPath, StoredName };

class Console {
 public:
  explicit Console(WordSource& words) : words_(words) {}
  void run();
  // The words the partial last word of `before` may become, as the console
  // would take the words before it: a command, or one its command waits for.
  std::vector<std::string> candidates(std::string_view before) const;

 private:
  struct Command {
    std::string_view word;
    bool needsMount;  // refused, before its words are read, with no image mounted
    int words;        // words that follow it
    Kind kinds[2];    // what each of them names
    // Runs it with its words; false when the console ends.
    bool (Console::*action)(const std::string* args);
  };
  static const Command Commands[];

  // Runs one command; false when the console ends.
  bool command(const std::string& cmd);
  static const Command* find(std::string_view word);
  // The command `word` starts when read as a command, if it waits for words.
  const Command* waitingCommand(std::string_view word) const;
  std::vector<std::string> candidatesFor(Kind kind, std::string_view start) const;

  bool exit(const std::string*) { return false; }
  bool help(const std::string*) {
    printHelp();
    return true;
  }
  bool create(const std::string* a) {
    createDisk(a[0].c_str(), sizeFromText(a[1].c_str()), frontEnv());
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
    deleteDisk(mounted_->c_str(), frontEnv());
    mounted_.reset();
    return true;
  }
  bool status(const std::string*) {
    showStatus(mounted_->c_str(), frontEnv());
    return true;
  }
  bool files(const std::string*) {
    showFiles(mounted_->c_str(), frontEnv());
    return true;
  }
  bool write(const std::string* a) {
    writeFile(a[0].c_str(), mounted_->c_str(), a[1].c_str(), frontEnv());
    return true;
  }
  bool read(const std::string* a) {
    readFile(mounted_->c_str(), a[0].c_str(), a[1].c_str(), frontEnv());
    return true;
  }
  bool erase(const std::string* a) {
    eraseFile(mounted_->c_str(), a[0].c_str(), frontEnv());
    return true;
  }

  WordSource& words_;
  std::optional<std::string> mounted_;
  // While a command reads its words: which, and how many it has.
  const Command* pending_ = nullptr;
  int taken_ = 0;
};

constexpr Kind Other = Kind::Other, Host = Kind::HostPath, Stored = Kind::StoredName;
const Console::Command Console::Commands[] = {
    {"exit", false, 0, {}, &Console::exit},
    {"help", false, 0, {}, &Console::help},
    {"create", false, 2, {Host, Other}, &Console::create},
    {"mount", false, 1, {Host}, &Console::mount},
    {"unmount", true, 0, {}, &Console::unmount},
    {"delete", true, 0, {}, &Console::remove},
    {"showStat", true, 0, {}, &Console::status},
    {"showFiles", true, 0, {}, &Console::files},
    {"write", true, 2, {Other, Host}, &Console::write},
    {"read", true, 2, {Host, Stored}, &Console::read},
    {"erase", true, 1, {Stored}, &Console::erase},
};

void Console::run() {
  std::cout << ">Korvane v" << Version << std::endl;
  std::cout << ">If you don't know what to do try typing \"help\"" << std::endl;
  std::string cmd;
  for (;;) {
    Got got = words_.next(&cmd, true);
    if (got == Got::End || (got == Got::Word && !command(cmd))) return;
  }
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

const Console::Command* Console::find(std::string_view word) {
  for (const Command& c : Commands)
    if (word == c.word) return &c;
  return nullptr;
}

bool Console::command(const std::string& cmd) {
  const Command* c = find(cmd);
  if (!c) {
    std::cout << "Command not recognized! Try \"help\" for available commands." << std::endl;
    return true;
  }
  if (c->needsMount && !mounted_) {
    std::cout << "There is no mounted disk" << std::endl;
    return true;
  }
  std::string args[2];
  for (pending_ = c, taken_ = 0; taken_ < c->words; ++taken_) {
    Got got = words_.next(&args[taken_], false);
    if (got != Got::Word) {
      pending_ = nullptr;
      return got == Got::Dropped;  // a dropped line abandons the command
    }
  }
  pending_ = nullptr;
  return (this->*c->action)(args);
}

const Console::Command* Console::waitingCommand(std::string_view word) const {
  const Command* c = find(word);
  if (!c || c->words == 0 || (c->needsMount && !mounted_)) return nullptr;
  return c;
}

std::vector<std::string> Console::candidates(std::string_view before) const {
  size_t start = before.size();
  while (start > 0 && !isBlank(before[start - 1])) --start;
  std::string_view partial = before.substr(start);
  // Replays the whole words as run() and command() would take them. A mount
  // among them is not replayed: its image is not mounted yet.
  const Command* c = pending_;
  int taken = taken_;
  for (const std::string& w : splitWords(before.substr(0, start))) {
    if (!c) {
      c = waitingCommand(w);
      taken = 0;
    } else if (++taken == c->words) {
      c = nullptr;
    }
  }
  if (c) return candidatesFor(c->kinds[taken], partial);
  std::vector<std::string> found;
  for (const Command& k : Commands)
    if (k.word.starts_with(partial)) found.emplace_back(k.word);
  return found;
}

std::vector<std::string> Console::candidatesFor(Kind kind, std::string_view start) const {
  switch (kind) {
    case Kind::HostPath: return hostPathsStartingWith(start);
    case Kind::StoredName: return mounted_ ? storedNamesStartingWith(mounted_->c_str(), start)
                                           : std::vector<std::string>{};
    case Kind::Other: break;
  }
  return {};
}

}  // namespace

void runConsole() {
  // A person at a terminal edits lines; anything else is read word by word,
  // as it always was. Both ends must be the terminal: the editor draws on
  // standard output.
  if (::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1) {
    if (std::unique_ptr<LineEditor> editor = LineEditor::open()) {
      Console console(*editor);
      editor->completeWith([&](std::string_view before) { return console.candidates(before); });
      console.run();
      return;
    }
  }
  StreamWords words(std::cin);
  Console(words).run();
}

}  // namespace korvane
