// Where the console's words come from: a stream read word by word, or lines
// a person edits at a terminal.
#pragma once

#include <istream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// What reading a word gave: a word, the end of input (or a read error), or
// a line the person dropped (Ctrl-C) before it was entered.
enum class Got { Word, End, Dropped };

class WordSource {
 public:
  virtual ~WordSource() = default;
  // Reads the next word into *w. A command word (`command`) is preceded by
  // the prompt ">" on standard output; a word a command waits for is not.
  // Dropped means the command waiting for words is to be abandoned.
  virtual Got next(std::string* w, bool command) = 0;
};

// The words of `in`, as `in >> w` reads them: for a pipe, a file, or any
// input that is not a person at a terminal.
class StreamWords : public WordSource {
 public:
  explicit StreamWords(std::istream& in) : in_(in) {}
  Got next(std::string* w, bool command) override {
    if (command) std::cout << ">";
    std::cout.flush();  // the prompt shows while the console waits
    return in_ >> *w ? Got::Word : Got::End;
  }

 private:
  std::istream& in_;
};

// What separates words: the blanks of the classic C locale, as for `in >> w`.
inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The words of `line`, split by blanks as the stream reader splits them.
inline std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  for (size_t i = 0; i < line.size();) {
    if (isBlank(line[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < line.size() && !isBlank(line[end])) ++end;
    words.emplace_back(line.substr(i, end - i));
    i = end;
  }
  return words;
}

}  // namespace korvane
