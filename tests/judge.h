// The one judge of an image, for the unit tests and the fuzz targets: the
// product's own checker, then every file it lists read back.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/check.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "tests/mem_env.h"

namespace korvane::test {

using Files = std::map<std::string, Bytes>;

// Erases `name`; a failure to free the blocks after the commit counts too.
inline Status eraseAll(Env& env, const char* image, std::string_view name) {
  Status freed, s = removeFile(env, image, name, &freed);
  return s.ok() ? freed : s;
}
inline std::vector<std::string> listed(Env& env, const char* image) {
  std::vector<std::string> names;
  (void)listImage(env, image, [] {}, [&](const FileEntry& e) { names.emplace_back(e.nameView()); });
  return names;
}
inline Status fetchBytes(MemEnv& env, const char* image, std::string_view name, Bytes* out) {
  Status s = fetchFile(env, image, "fetched", name);
  if (Bytes* b = env.get("fetched")) *out = *b, env.files.erase("fetched");
  return s;
}
// The problems a check finds, as "kind@slot" words; with `repair`, mended.
inline std::string problems(Env& env, const char* image, bool repair, CheckSummary* sum) {
  std::vector<Finding> found;
  Status s = checkImage(env, image, {.repair = repair}, &found, sum);
  std::string out = s.ok() ? "" : "check failed ";
  for (const Finding& f : found) out += std::to_string(int(f.kind)) + "@" + std::to_string(f.slot) + " ";
  return out;
}

// How the judge takes an image: as it is, clean, or clean once repaired.
enum class Look { AsIs, Clean, Repaired };

// "" when the image checks as `look` asks and every file reads back as `want`
// says (any content when it is null); only `maybe` may be missing from it.
inline std::string judge(MemEnv& env, const char* image, Look look, const Files* want,
                         const std::string& maybe = "\n") {
  CheckSummary sum;
  if (look == Look::Repaired) (void)problems(env, image, true, &sum);
  if (std::string p = look == Look::AsIs ? "" : problems(env, image, false, &sum); !p.empty())
    return "problems: " + p;
  std::vector<std::string> names = listed(env, image);
  for (const std::string& name : names) {
    Bytes got;
    if (!fetchBytes(env, image, name, &got).ok()) return "'" + name + "' cannot be read";
    if (want && (!want->count(name) || want->at(name) != got)) return "'" + name + "' differs";
  }
  for (const auto& [name, bytes] : want ? *want : Files{})
    if (name != maybe && std::find(names.begin(), names.end(), name) == names.end()) return "'" + name + "' is lost";
  return "";
}

// ---- the real host ----

struct TempDir {
  TempDir() : path(std::filesystem::temp_directory_path() / ("korvane-u-" + std::to_string(getpid()) + "-" + std::to_string(n++))) {
    std::filesystem::remove_all(path), std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
  static inline int n = 0;
  std::filesystem::path path;
};
inline Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void spit(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
}

}  // namespace korvane::test
