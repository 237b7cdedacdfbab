// Runs every transcript under tests/transcripts, whose format its README
// tells: program runs with their input and exact output, in a fresh folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

struct Step {
  int line;
  char tag;  // '$' a run of korvane, '+' a shell command
  std::string command, in, out, err;
};

class Transcript : public testing::TestWithParam<std::string> {};

TEST_P(Transcript, Matches) {
  std::ifstream file(fs::path(KORVANE_TRANSCRIPTS) / GetParam());
  std::vector<Step> steps;
  std::string raw;
  for (int n = 1; std::getline(file, raw); ++n) {
    char tag = raw.empty() ? '#' : raw[0];
    std::string body = raw.size() > 2 ? raw.substr(2) : "";
    bool cut = body.size() >= 2 && body.ends_with("\\c");
    if (tag == '+' || tag == '$')
      steps.push_back({n, tag, body, "", "", ""});
    else if (tag != '#' && (steps.empty() || steps.back().tag != '$' || !strchr("<|!", tag)))
      ADD_FAILURE() << GetParam() << ":" << n << ": cannot read this line";
    else if (tag != '#')
      (tag == '<' ? steps.back().in : tag == '|' ? steps.back().out : steps.back().err) +=
          cut ? body.substr(0, body.size() - 2) : body + "\n";
  }
  setenv("PATH", (fs::path(KORVANE_BINARY).parent_path().string() + ":" + getenv("PATH")).c_str(), 1);
  fs::path dir = fs::temp_directory_path() / ("korvane-t-" + std::to_string(getpid()) + GetParam());
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string cd = "cd '" + dir.string() + "' && ";
  for (const Step& s : steps) {
    std::string where = GetParam() + ":" + std::to_string(s.line) + ": " + s.command;
    if (s.tag == '+') {
      ASSERT_EQ(std::system((cd + s.command).c_str()), 0) << where;
      continue;
    }
    std::ofstream(dir / ".in", std::ios::binary) << s.in;
    std::string run = cd + "korvane " + s.command + " <.in >.out 2>.err";
    EXPECT_EQ(std::system(run.c_str()), 0) << where;
    EXPECT_EQ(slurp(dir / ".out"), s.out) << where << "\n(standard output)";
    EXPECT_EQ(slurp(dir / ".err"), s.err) << where << "\n(standard error)";
    for (const char* f : {".in", ".out", ".err"}) fs::remove(dir / f);
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

INSTANTIATE_TEST_SUITE_P(All, Transcript, testing::ValuesIn(transcripts()), [](const auto& info) {
  std::string n = fs::path(info.param).stem().string();
  std::replace_if(n.begin(), n.end(), [](char c) { return !isalnum(c); }, '_');
  return n;
});

}  // namespace
