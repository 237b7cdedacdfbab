// The operations that the crash and I/O failure loops cut short, and the
// rules for what each may leave behind. Every run starts from the same
// bytes in a folder of its own; the independent checker judges the result.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "image/create.h"
#include "image/fetch.h"
#include "image/remove.h"
#include "image/report.h"
#include "image/store.h"
#include "ops/ops.h"
#include "tests/checker.h"
#include "tests/fault_env.h"
#include "tests/test_util.h"

namespace korvane::test {

inline Bytes contentOf(const std::string& name, size_t size) {
  uint32_t seed = 7;
  for (char c : name) seed = seed * 31 + static_cast<unsigned char>(c);
  return patternBytes(size, seed);
}

// An image of `blocks` blocks after storing (size >= 0) and erasing (size -1)
// files through the code under test, in order.
inline Bytes buildImage(uint32_t blocks, const std::vector<std::pair<std::string, long>>& steps) {
  TempDir dir;
  std::string img = dir.file("d.img"), host = dir.file("h");
  writeBytes(img, emptyImage(blocks));
  for (const auto& [name, size] : steps) {
    Status s;
    if (size < 0) {
      s = removeAll(Env::host(), img.c_str(), name);
    } else {
      writeBytes(host, contentOf(name, static_cast<size_t>(size)));
      s = storeFile(Env::host(), name, img.c_str(), host.c_str());
    }
    EXPECT_TRUE(s.ok()) << "building the image: " << name;
  }
  return readBytes(img);
}

struct Scenario {
  enum Kind { Make, Store, Remove, Fetch };
  std::string label;
  Kind kind;
  Bytes base;              // the image before the call; empty: no file there
  std::string name;        // the stored name written, erased or read
  Bytes content;           // the host file written in, or the file read out
  uint32_t kb = 0;         // the size create asks for
  bool intoImage = false;  // read out onto the image itself
};

inline const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = [] {
    // Blocks 0-1 a, 3-5 c, 7-8 e; 2 and 6 free after erasures, 9 up free.
    std::vector<std::pair<std::string, long>> steps = {
        {"a", 8000}, {"b", 100}, {"c", 12000}, {"d", 4092}, {"e", 5000}, {"b", -1}, {"d", -1}};
    Bytes frag = buildImage(40, steps);
    steps.push_back({"f", 16000});  // through blocks 2, 6, 9, 10
    Bytes mixed = buildImage(40, steps);
    Bytes f = contentOf("f", 16000);
    using S = Scenario;
    return std::vector<Scenario>{
        {"create a new image", S::Make, {}, "", {}, 160},
        {"create over an image", S::Make, mixed, "", {}, 160},
        {"write 1 block into a fresh image", S::Store, emptyImage(40), "s", contentOf("s", 3000)},
        {"write 1.1 MB into a fresh image", S::Store, emptyImage(560), "big",
         contentOf("big", 1100000)},
        {"write 1 block into a fragmented image", S::Store, frag, "g", contentOf("g", 4000)},
        {"write 4 blocks across the gaps", S::Store, frag, "g", contentOf("g", 16000)},
        {"erase the first entry", S::Remove, mixed, "a", {}},
        {"erase a middle entry", S::Remove, mixed, "c", {}},
        {"erase the last entry", S::Remove, mixed, "f", {}},
        {"read out a fragmented file", S::Fetch, mixed, "f", f},
        {"read out onto the image itself", S::Fetch, mixed, "f", f, 0, true},
    };
  }();
  return all;
}

// Reads a whole file in one go (the tests read megabytes per cut).
inline bool slurp(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  out->resize(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(out->size()));
  return true;
}

// One scenario's folder: the image, the host file written in, the target.
// look() takes a snapshot of what is on disk, which the judges examine.
class World {
 public:
  explicit World(const Scenario& sc)
      : sc_(sc), image_(dir_.file("d.img")), host_(dir_.file("in.bin")),
        target_(sc.intoImage ? image_ : dir_.file("out.bin")) {
    if (!sc.base.empty()) before_ = checkImage(sc.base);
    if (sc.kind == Scenario::Store) writeBytes(host_, sc.content);
  }

  const CheckReport& before() const { return before_; }

  void reset() {
    std::filesystem::remove(image_);
    std::filesystem::remove(target_);
    if (!sc_.base.empty()) writeBytes(image_, sc_.base);
  }

  void look() {
    exists_ = slurp(image_, &now_);
    now_.resize(exists_ ? now_.size() : 0);
    report_ = exists_ ? checkImage(now_) : CheckReport{};
    hasTarget_ = !sc_.intoImage && slurp(target_, &target);
  }
  bool imageExists() const { return exists_; }
  const std::string& imagePath() const { return image_; }
  bool targetExists() const { return hasTarget_; }
  const Bytes& image() const { return now_; }
  const CheckReport& report() const { return report_; }
  Bytes target;  // the read-out copy, when there is one

  Status runLogic(Env& env) const {
    Geometry g;
    switch (sc_.kind) {
      case Scenario::Make: return makeImage(env, image_.c_str(), sc_.kb, &g);
      case Scenario::Store: return storeFile(env, sc_.name, image_.c_str(), host_.c_str());
      case Scenario::Remove: return removeAll(env, image_.c_str(), sc_.name);
      case Scenario::Fetch: return fetchFile(env, image_.c_str(), target_.c_str(), sc_.name);
    }
    return {};
  }

  // Runs the printing operation; returns standard output and error.
  std::pair<std::string, std::string> runPrinted(Env& env) const {
    CaptureOutput cap;
    const char* img = image_.c_str();
    switch (sc_.kind) {
      case Scenario::Make: createDisk(img, sc_.kb, env); break;
      case Scenario::Store: writeFile(sc_.name.c_str(), img, host_.c_str(), env); break;
      case Scenario::Remove: eraseFile(img, sc_.name.c_str(), env); break;
      case Scenario::Fetch: readFile(img, target_.c_str(), sc_.name.c_str(), env); break;
    }
    return {cap.out(), cap.err()};
  }

  // What a crash, or a call that failed, may leave: "" when acceptable.
  // Every file stored before reads back the same, the file written is
  // absent or whole, the file erased intact or gone, and nothing else is
  // wrong but remnants. Create leaves no file, the old image, a file no
  // reader takes for an image, or the new empty image.
  std::string judgeCut() const {
    const CheckReport& r = report_;
    if (sc_.kind == Scenario::Make) {
      if (!exists_ || !r.isImage || now_ == sc_.base) return "";
      return r.problems.empty() && r.remnants.empty() && r.files.empty() ? "" : r.describe();
    }
    if (!exists_) return "the image is gone";
    if (sc_.kind == Scenario::Fetch) return now_ == sc_.base ? "" : "the image changed";
    if (!r.isImage || !r.problems.empty()) return r.describe();
    for (const auto& [name, bytes] : before_.files) {
      auto it = r.files.find(name);
      if (sc_.kind == Scenario::Remove && name == sc_.name && it == r.files.end()) continue;
      if (it == r.files.end()) return "'" + name + "' is lost";
      if (it->second != bytes) return "'" + name + "' reads back changed";
    }
    for (const auto& [name, bytes] : r.files) {
      if (before_.files.count(name)) continue;
      if (sc_.kind != Scenario::Store || name != sc_.name) return "'" + name + "' appeared";
      if (bytes != sc_.content) return "'" + name + "' stored incomplete";
    }
    return "";
  }

  // Whether the operation's own result is in place: "" when it is. With
  // `clean`, not even a remnant may be left.
  std::string judgeDone(bool clean) const {
    const CheckReport& r = report_;
    if (sc_.kind == Scenario::Fetch) {
      if (now_ != sc_.base) return "the image changed";
      if (sc_.intoImage) return "";
      return hasTarget_ && target == sc_.content ? "" : "the copy differs";
    }
    if (!exists_) return "no image";
    if (!r.isImage || !r.problems.empty() || (clean && !r.remnants.empty())) return r.describe();
    auto want = before_.files;
    if (sc_.kind == Scenario::Store) want[sc_.name] = sc_.content;
    if (sc_.kind == Scenario::Remove) want.erase(sc_.name);
    if (sc_.kind == Scenario::Make) want.clear();
    return r.files == want ? "" : "files differ: " + r.describe();
  }

  // Runs the operation again, with no fault, as a user would after the
  // cut, and looks again: "" when it does what it should.
  std::string retry() {
    bool stored = sc_.kind != Scenario::Make && report_.files.count(sc_.name) > 0;
    FaultEnv::Plan plan;
    plan.skipSync = true;
    FaultEnv host(plan);
    Status s = runLogic(host);
    look();
    Error want = Error::Ok;
    if (sc_.kind == Scenario::Store && stored) want = Error::Exists;
    if (sc_.kind == Scenario::Remove && !stored) want = Error::NotStored;
    if (sc_.intoImage) want = Error::SameFile;
    if (s.code != want)
      return "run again: status " + std::to_string(static_cast<int>(s.code)) + ", want " +
             std::to_string(static_cast<int>(want));
    std::string done = judgeDone(false);
    return done.empty() ? "" : "run again: " + done;
  }

  // The image unchanged but for the table's free slots, whose bytes count
  // for nothing.
  bool sameAsBase() const {
    if (now_.size() != sc_.base.size()) return false;
    size_t freeFrom = getU32(sc_.base, 8), dataOffset = getU32(sc_.base, 4);
    for (size_t i = 0; i < now_.size(); ++i)
      if (now_[i] != sc_.base[i] && (i < freeFrom || i >= dataOffset)) return false;
    return true;
  }

 private:
  const Scenario& sc_;
  TempDir dir_;
  std::string image_, host_, target_;
  CheckReport before_, report_;
  Bytes now_;
  bool exists_ = false, hasTarget_ = false;
};

}  // namespace korvane::test
