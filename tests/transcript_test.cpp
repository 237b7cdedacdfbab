// Runs every transcript under tests/transcripts: each is a script of program
// runs, with their standard input and the exact standard output and error
// they must produce, in a fresh folder of its own.
//
//   # comment            ignored
//   + shell command      run by /bin/sh in the folder; must exit 0 ($KORVANE
//                        names the program, for runs that need a pipe)
//   $ args ...           runs korvane with these arguments (split on blanks;
//                        'single quotes' keep blanks and allow '')
//   < text               a line of standard input for the run above
//   | text               a line the run prints on standard output
//   ! text               a line the run prints on standard error
//
// A `|`, `!` or `<` line that ends in \c stands for its text without the
// line end, as echo's \c does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Step {
  int line = 0;
  bool shell = false;
  std::string command;  // shell text, or the argument text
  std::string in, out, err;
};

std::string lineText(const std::string& raw) {
  std::string body = raw.size() > 2 ? raw.substr(2) : "";
  if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\\c") == 0)
    return body.substr(0, body.size() - 2);
  return body + "\n";
}

std::vector<Step> parse(const fs::path& file) {
  std::ifstream in(file);
  std::vector<Step> steps;
  std::string raw;
  for (int n = 1; std::getline(in, raw); ++n) {
    if (raw.empty() || raw[0] == '#') continue;
    char tag = raw[0];
    if (tag == '+' || tag == '$') {
      steps.push_back({n, tag == '+', raw.size() > 2 ? raw.substr(2) : "", "", "", ""});
    } else if (!steps.empty() && !steps.back().shell && (tag == '<' || tag == '|' || tag == '!')) {
      std::string& to = tag == '<' ? steps.back().in : tag == '|' ? steps.back().out : steps.back().err;
      to += lineText(raw);
    } else {
      ADD_FAILURE() << file << ":" << n << ": cannot read this line";
    }
  }
  return steps;
}

std::vector<std::string> splitArgs(const std::string& text) {
  std::vector<std::string> args;
  std::string cur;
  bool any = false, quoted = false;
  for (char ch : text) {
    if (ch == '\'') {
      quoted = !quoted;
      any = true;
    } else if (ch == ' ' && !quoted) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += ch;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the program in `dir` with `args` and `input`; returns its exit status.
int runProgram(const fs::path& dir, const std::vector<std::string>& args, const std::string& input,
               std::string* out, std::string* err) {
  fs::path inFile = dir / ".stdin", outFile = dir / ".stdout", errFile = dir / ".stderr";
  std::ofstream(inFile, std::ios::binary) << input;
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int i = open(inFile.c_str(), O_RDONLY);
    int o = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KORVANE_BINARY));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KORVANE_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  *out = slurp(outFile);
  *err = slurp(errFile);
  fs::remove(inFile);
  fs::remove(outFile);
  fs::remove(errFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Transcript : public testing::TestWithParam<std::string> {};

TEST_P(Transcript, Matches) {
  fs::path file = fs::path(KORVANE_TRANSCRIPTS) / GetParam();
  fs::path dir = fs::temp_directory_path() / ("korvane-t-" + std::to_string(getpid()) + "-" +
                                              file.stem().string());
  fs::remove_all(dir);
  fs::create_directories(dir);
  setenv("KORVANE", KORVANE_BINARY, 1);
  for (const Step& step : parse(file)) {
    std::string where = GetParam() + ":" + std::to_string(step.line) + ": " + step.command;
    if (step.shell) {
      std::string cmd = "cd '" + dir.string() + "' && " + step.command;
      ASSERT_EQ(std::system(cmd.c_str()), 0) << where;
      continue;
    }
    std::string out, err;
    int rc = runProgram(dir, splitArgs(step.command), step.in, &out, &err);
    EXPECT_EQ(rc, 0) << where;
    EXPECT_EQ(out, step.out) << where << "\n(standard output)";
    EXPECT_EQ(err, step.err) << where << "\n(standard error)";
    if (HasFailure()) break;
  }
  fs::remove_all(dir);
}

std::vector<std::string> transcripts() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(KORVANE_TRANSCRIPTS))
    if (e.path().extension() == ".t") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
  std::string n = fs::path(info.param).stem().string();
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(All, Transcript, testing::ValuesIn(transcripts()), testName);

}  // namespace
