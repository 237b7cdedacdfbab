#include "frontend/completion.h"

#include <algorithm>
#include <filesystem>

#include "frontend/word_source.h"
#include "image/report.h"

namespace korvane {
namespace {

bool oneWord(std::string_view name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), isBlank);
}

std::vector<std::string> sorted(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());  // a damaged table repeats
  return words;
}

}  // namespace

std::vector<std::string> storedNamesStartingWith(const char* imageName, std::string_view start) {
  std::vector<std::string> names;
  // A Tab key that hangs while another run writes the image is worse than
  // one that offers nothing.
  constexpr int WaitMs = 200;
  Status s = listImage(
      Env::host(), imageName, [] {},
      [&](const FileEntry& e) {
        std::string_view name = e.nameView();
        if (oneWord(name) && name.starts_with(start)) names.emplace_back(name);
      },
      WaitMs);
  if (!s.ok()) return {};
  return sorted(std::move(names));
}

std::vector<std::string> hostPathsStartingWith(std::string_view start) {
  namespace fs = std::filesystem;
  size_t slash = start.rfind('/');
  std::string folder(slash == std::string_view::npos ? "" : start.substr(0, slash + 1));
  std::string_view stem = start.substr(folder.size());
  std::vector<std::string> paths;
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? "." : folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!oneWord(name) || !name.starts_with(stem)) continue;
    if (name[0] == '.' && !stem.starts_with('.')) continue;
    std::error_code kind;
    paths.push_back(folder + name + (it->is_directory(kind) ? "/" : ""));
  }
  return sorted(std::move(paths));
}

}  // namespace korvane
