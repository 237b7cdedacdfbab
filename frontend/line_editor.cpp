#include "frontend/line_editor.h"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "frontend/edit_library.h"

namespace korvane {
namespace {

// Loaded by open(), before any editor exists.
const EditLibrary& lib() { return *editLibrary(); }

constexpr int HistoryLines = 1000;

// $XDG_STATE_HOME/korvane/history, or ~/.local/state/korvane/history when
// that is unset or not absolute (a relative one is to be ignored); empty
// when there is no home either.
std::string historyPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/korvane/history";
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.local/state/korvane/history";
  return "";
}

LineEditor* owner(EditLine* el) {
  void* self = nullptr;
  lib().get(el, EL_CLIENTDATA, &self);
  return static_cast<LineEditor*>(self);
}

// The longest start that all of `words` share.
std::string commonStart(const std::vector<std::string>& words) {
  std::string common = words.front();
  for (const std::string& w : words) {
    size_t n = 0;
    while (n < common.size() && n < w.size() && common[n] == w[n]) ++n;
    common.resize(n);
  }
  return common;
}

}  // namespace

std::unique_ptr<LineEditor> LineEditor::open() {
  // Names typed in the person's own encoding, not just ASCII.
  std::setlocale(LC_CTYPE, "");
  if (!editLibrary()) return nullptr;
  EditLine* el = lib().init("korvane", stdin, stdout, stderr);
  if (!el) return nullptr;
  History* h = lib().historyInit();
  if (!h) {
    lib().end(el);
    return nullptr;
  }
  return std::unique_ptr<LineEditor>(new LineEditor(el, h, historyPath()));
}

LineEditor::LineEditor(EditLine* el, History* h, std::string historyFile)
    : el_(el), history_(h), historyFile_(std::move(historyFile)) {
  HistEvent ev;
  lib().history(h, &ev, H_SETSIZE, HistoryLines);
  lib().history(h, &ev, H_SETUNIQUE, 1);
  // A file that cannot be read leaves an empty history, nothing more.
  if (!historyFile_.empty()) lib().history(h, &ev, H_LOAD, historyFile_.c_str());
  lib().set(el, EL_CLIENTDATA, this);
  lib().set(el, EL_EDITOR, "emacs");
  lib().set(el, EL_HIST, lib().history, h);
  lib().set(el, EL_PROMPT, &LineEditor::prompt);
  lib().set(el, EL_SIGNAL, 1);  // the terminal's size and modes across a stop
  lib().set(el, EL_ADDFN, "korvane-complete", "complete the word", &LineEditor::complete);
  lib().set(el, EL_BIND, "^I", "korvane-complete", nullptr);
  lib().set(el, EL_BIND, "^R", "em-inc-search-prev", nullptr);
  // Ctrl-C reaches the editor as a key while a line is typed, and is
  // ignored as a signal, so an operation under way runs to its end.
  lib().set(el, EL_SETTY, "-d", "-isig", nullptr);
  lib().set(el, EL_ADDFN, "korvane-drop", "drop the line", &LineEditor::drop);
  lib().set(el, EL_BIND, "^C", "korvane-drop", nullptr);
  oldInterrupt_ = std::signal(SIGINT, SIG_IGN);
}

LineEditor::~LineEditor() {
  std::signal(SIGINT, oldInterrupt_);
  lib().end(el_);
  lib().historyEnd(history_);
}

Got LineEditor::next(std::string* w, bool command) {
  if (words_.empty()) {
    if (Got g = readLine(command); g != Got::Word) return g;
  } else if (command) {
    std::cout << ">" << std::flush;  // before the command's output, as always
  }
  *w = std::move(words_.front());
  words_.pop_front();
  return Got::Word;
}

Got LineEditor::readLine(bool command) {
  prompt_ = command ? ">" : "";
  for (;;) {
    std::cout.flush();
    dropped_ = false;
    int count = 0;
    const char* line = lib().gets(el_, &count);
    if (dropped_) return Got::Dropped;
    if (!line || count <= 0) {
      // Ctrl-D leaves the cursor just after the "^D" the editor shows: end
      // that line, so what comes next (the shell's prompt) starts afresh.
      std::cout << std::endl;
      return Got::End;
    }
    std::string text(line, static_cast<size_t>(count));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    remember(text);
    std::vector<std::string> words = splitWords(text);
    words_.assign(words.begin(), words.end());
    if (!words_.empty()) return Got::Word;
    // A blank line: the console still waits for the same word, with no
    // new prompt, as it always has.
    prompt_ = "";
  }
}

void LineEditor::remember(const std::string& line) {
  if (splitWords(line).empty()) return;
  HistEvent ev;
  lib().history(history_, &ev, H_ENTER, line.c_str());
  if (historyFile_.empty()) return;
  // Saved whole after each line, so a session that is killed or hung up
  // keeps what was typed (two at once keep the last writer's). Written to
  // the side first and renamed, so a crash leaves the old file, never half
  // a new one. Any failure here costs only the file, never the session.
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(fs::path(historyFile_).parent_path(), ec);
  std::string side = historyFile_ + ".new";
  if (lib().history(history_, &ev, H_SAVE, side.c_str()) >= 0)
    std::rename(side.c_str(), historyFile_.c_str());
}

char* LineEditor::prompt(EditLine* el) { return const_cast<char*>(owner(el)->prompt_); }

unsigned char LineEditor::complete(EditLine* el, int) {
  LineEditor* self = owner(el);
  const LineInfo* li = lib().line(el);
  std::string_view before(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
  size_t start = before.size();
  while (start > 0 && !isBlank(before[start - 1])) --start;
  std::string_view partial = before.substr(start);
  std::vector<std::string> found;
  if (self->completer_) found = self->completer_(before);
  if (found.empty()) return CC_REFRESH_BEEP;
  std::string common = commonStart(found);
  if (found.size() == 1 && common.back() != '/') common += ' ';  // on to the next word
  if (common.size() > partial.size()) {
    lib().insertstr(el, common.c_str() + partial.size());
    return CC_REFRESH;
  }
  // Nothing more to add: list the choices below the line, then draw it again.
  std::fputc('\n', stdout);
  for (const std::string& w : found) std::fprintf(stdout, "%s  ", w.c_str());
  std::fputc('\n', stdout);
  return CC_REDISPLAY;
}

unsigned char LineEditor::drop(EditLine* el, int) {
  // The line is ended as Enter would end it, so the screen moves on as
  // usual, with a mark that it was dropped; its text is thrown away.
  owner(el)->dropped_ = true;
  const LineInfo* li = lib().line(el);
  lib().cursor(el, static_cast<int>(li->lastchar - li->cursor));
  lib().insertstr(el, "^C");
  lib().push(el, "\n");
  return CC_REFRESH;
}

}  // namespace korvane
