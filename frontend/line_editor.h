// The console's words when a person types them at a terminal: lines edited
// with libedit, a history kept between sessions, and completion.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/word_source.h"

struct editline;
struct history;

namespace korvane {

// Given the line before the cursor, the words the last (partial) word may
// become, each in full and starting with it.
using Completer = std::function<std::vector<std::string>(std::string_view before)>;

// Reads a line only when the words of the last one are used up, and hands
// them out one by one, so a line holds any number of commands and a command
// may take its words from later lines, as with a stream. The prompt ">" is
// libedit's own when a command word needs a new line (so it is redrawn with
// the line), and is written to standard output, as the stream reader does,
// when the command word was left on the line already read.
//
// While it exists, Ctrl-C never stops the program: at the prompt it drops
// the line being typed, and during an operation it is ignored, so that runs
// to its end. Lines entered are kept in the history file after each one.
class LineEditor : public WordSource {
 public:
  // Null when libedit cannot run on this terminal.
  static std::unique_ptr<LineEditor> open();
  ~LineEditor() override;
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  Got next(std::string* w, bool command) override;
  void completeWith(Completer c) { completer_ = std::move(c); }

 private:
  LineEditor(editline* el, history* h, std::string historyFile);
  Got readLine(bool command);
  void remember(const std::string& line);
  static char* prompt(editline* el);
  static unsigned char complete(editline* el, int key);
  static unsigned char drop(editline* el, int key);

  editline* el_;
  history* history_;
  std::string historyFile_;  // empty when there is nowhere to keep it
  const char* prompt_ = "";
  bool dropped_ = false;
  std::deque<std::string> words_;  // left on the last line read
  Completer completer_;
  void (*oldInterrupt_)(int);
};

}  // namespace korvane
