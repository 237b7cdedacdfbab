// The one judge of an image, for the unit tests and the fuzz targets: the
// product's own checker, then every file it lists read back.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>

#include "image/check.h"
#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"
#include "ops/ops.h"
#include "tests/images.h"
#include "tests/mem_env.h"

namespace korvane::test {

using Files = std::map<std::string, Bytes>;

// Erases `name`; a failure to free the blocks after the commit counts too.
inline Status eraseAll(Env& env, const char* image, std::string_view name) {
  Status freed, s = removeFile(env, image, name, &freed);
  return s.ok() ? freed : s;
}
// The stored names, in table order.
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
    // A chain the checker saved, or a repeated name it changed, is any bytes
    // a cut operation left, unless named.
    bool saved = (name.starts_with("lost.") || name.find('~') != name.npos) && want && !want->count(name);
    if (want && !saved && (!want->count(name) || want->at(name) != got)) return "'" + name + "' differs";
  }
  for (const auto& [name, bytes] : want ? *want : Files{})
    if (name != maybe && std::find(names.begin(), names.end(), name) == names.end()) return "'" + name + "' is lost";
  return "";
}

// Every operation on possibly damaged image bytes, then the checker: "" when
// each gives what `ops` says for stat, list, fetch, store, erase (D Damaged, K
// Ok, N NotStored, S NoSpace, A Ok or Damaged, ? Ok unless the checker finds a
// problem, or what a refusal must be), within 2 s; a refusal or a read leaves
// the image as it was, and an image never grows (the env stops the run); a
// store and an erase change only what they must; a repair ends clean with every
// file (as `keep` says) read back and erased.
inline std::string everyOperation(const Bytes& bytes, const char* ops = "?????", std::string target = "",
                                  int used = -1, const Files* keep = nullptr) {
  MemEnv env;
  env.put("d.img", bytes);
  CheckSummary sum;
  // korvane takes an image whose header keeps every rule; the checker may mend more.
  bool sound = problems(env, "d.img", false, &sum).empty();
  bool ok = bytes.size() >= HeaderSize && judgeHeader(bytes.size(), decodeHeader(bytes.data())).sound();
  std::vector<std::string> rows = listed(env, "d.img");
  target = !target.empty() ? target : rows.empty() ? "a.txt" : rows[0];
  auto has = [&](const std::string& n) { return std::find(rows.begin(), rows.end(), n) != rows.end(); };
  Header h = bytes.size() >= HeaderSize ? decodeHeader(bytes.data()) : Header{};
  auto bit = [](const Bytes& img, uint64_t b) { return img[HeaderSize + b / 8] >> b % 8 & 1; };
  // Only tableEnd, slots [from, to), real blocks' bits (set by a store, cleared
  // by an erase) and the data of blocks a store took (zeros for an erase) change.
  auto changedOnly = [&](const Bytes& after, uint64_t from, uint64_t to, bool store) {
    for (uint64_t b = 0; b < bitmapBytes(h.blockCount) * 8; ++b)
      if (bit(bytes, b) != bit(after, b) && (b >= h.blockCount || bit(after, b) != store)) return false;
    for (uint64_t o = 0; o < bytes.size(); ++o) {
      bool header = o >= TableEndOffset && o < tableStart(h.blockCount);  // tableEnd and the bitmap
      uint64_t b = o < h.dataOffset ? h.blockCount : (o - h.dataOffset) / BlockSize;
      bool taken = b < h.blockCount && !bit(bytes, b) && bit(after, b);
      bool zeroed = b < h.blockCount && !bit(after, b) && after[o] == 0;
      if (bytes[o] != after[o] && !header && (o < from || o >= to) && !(store ? taken : zeroed)) return false;
    }
    return true;
  };
  // What each listed file reads back as: a store must leave it so.
  auto readAll = [&] {
    std::map<std::string, std::pair<Error, Bytes>> got;
    for (const std::string& n : rows) got[n].first = fetchBytes(env, "d.img", n, &got[n].second).code;
    return got;
  };
  auto stored = readAll();
  Bytes in = pattern(bytes.empty() ? 0 : bytes.back() % 5 * 3000, 1), back;
  StatReport r;
  const std::function<Status()> run[] = {
      [&] { return statImage(env, "d.img", &r); },
      [&] { return listImage(env, "d.img", [] {}, [](const FileEntry&) {}); },
      [&] { return fetchFile(env, "d.img", "out", target); },
      [&] { return storeFile(env, "new", "d.img", "in"); },
      [&] { return eraseAll(env, "d.img", target); },
  };
  // Whether operation `op`'s `s` is what `want` asks; for '?', what a sound
  // header and the checker's verdict allow.
  auto fine = [&](int op, char want, Status s) {
    Error e = s.code;
    switch (want) {
      case 'D': return e == Error::Damaged;
      case 'K': return s.ok();
      case 'N': return e == Error::NotStored;
      case 'S': return e == Error::NoSpace;
      case 'A': return s.ok() || e == Error::Damaged;
    }
    if (!ok) return e == Error::Damaged;
    if (op == 3) {
      Error refusal = Error::Ok;
      if (r.blockCount - r.usedBlocks < blocksForFile(in.size())) refusal = Error::NoSpace;
      else if (has("new")) refusal = Error::Exists;
      else if (rows.size() == r.blockCount) refusal = Error::Damaged;  // every block a file's, yet one free
      return e == refusal || (!sound && e == Error::Damaged);
    }
    if (s.ok()) return op < 2 || has(target);
    if (op < 2) return false;
    return e == (has(target) ? Error::Damaged : Error::NotStored) && (!sound || e != Error::Damaged);
  };
  for (int op = 0; op < 5; ++op) {
    env.put("d.img", bytes);
    env.put("in", in);
    env.files.erase("out");
    auto start = std::chrono::steady_clock::now();
    Status s = run[op]();
    const Bytes& after = *env.get("d.img");
    std::string where = std::string("operation ") + "SLFWE"[op] + " gave Error " + std::to_string(int(s.code));
    if (!fine(op, ops[op], s)) return where;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) return where + ", slowly";
    if ((op < 3 || !s.ok()) && after != bytes) return where + ", changing the image";
    if (op == 2 && s.ok() != (env.get("out") != nullptr)) return where + ", host file wrong";
    if (op == 0 && s.ok() && used >= 0 && r.usedBlocks != uint32_t(used)) return where + ", blocks miscounted";
    if (op < 3 || !s.ok()) continue;
    if (op == 3 && !(fetchBytes(env, "d.img", "new", &back).ok() && back == in &&
                     changedOnly(after, h.tableEnd, h.tableEnd + FileEntrySize, true)))
      return where + ", storing wrong";
    if (op == 3 && ops[3] != '?' && readAll() != stored) return where + ", over a stored file";
    std::vector<std::string> left = rows;  // less the entry erased
    if (auto it = std::find(left.begin(), left.end(), target); it != left.end()) left.erase(it);
    if (op == 4 && (listed(env, "d.img") != left || !changedOnly(after, tableStart(h.blockCount), h.tableEnd, false)))
      return where + ", erasing wrong";
  }
  if (!ok) return "";
  env.put("d.img", bytes);
  if (std::string j = judge(env, "d.img", Look::Repaired, keep); !j.empty()) return "repaired: " + j;
  for (const std::string& name : listed(env, "d.img"))
    if (!eraseAll(env, "d.img", name).ok()) return "repaired, '" + name + "' not erased";
  return judge(env, "d.img", Look::Clean, nullptr);
}

// ---- the real host ----

// A fresh folder under the system's temporary folder, removed at the end.
struct TempDir {
  std::filesystem::path path = std::filesystem::temp_directory_path() / ("korvane-u-" + std::to_string(getpid()) + "-" +
                                                                         std::to_string(count++));
  TempDir() { std::filesystem::remove_all(path), std::filesystem::create_directories(path); }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
  static inline int count = 0;
};
inline Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline void spit(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
}

}  // namespace korvane::test
