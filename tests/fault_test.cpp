// Every operation under every fault: each scenario runs once cleanly (its
// calls in order must fence each commit with syncs), then crashes at each
// of its writes, whole and torn at sector boundaries, then meets a failure
// at each of its calls, EIO and ENOSPC, once and from then on, then a lock
// that never comes free. The judge is the checker with its repair, and every
// stored file read back: the operation's file whole or absent, nothing else
// lost; a failure prints one line and undoes what it can. Then the operation
// runs again as a user would.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "image/create.h"
#include "image/store.h"
#include "ops/ops.h"
#include "tests/images.h"
#include "tests/judge.h"

namespace korvane::test {
namespace {

enum Kind { Make, Store, Remove, Fetch, Status_, Repair };

struct Scenario {
  std::string label;
  Kind kind;
  Disk base;  // no bytes: no image there
  std::string name;
  Bytes content;  // the file written in or read out
  bool intoImage = false;  // read out onto the image itself
};

Disk sample(bool withF) {  // "a", "c", "e" and maybe "f" through the gaps they left
  Disk d(40);
  d.file("a", {0, 1}, 8000), d.file("c", {3, 4, 5}, 12000), d.file("e", {7, 8}, 5000);
  if (withF) d.file("f", {2, 6, 9, 10}, 16000);
  return d;
}

std::vector<Scenario> scenarios() {
  Disk none(0), table(40), broken(0);
  for (const Damaged& c : damagedImages())
    if (std::string(c.name) == "f_many_problems") broken = build(c);
  none.bytes.clear();
  // Names differ after their third byte, so half an entry shows as a wrong file.
  for (uint32_t i = 0; i < 20; ++i)
    table.file("entry-" + std::to_string(10 + i) + (i % 2 ? "-odd-xxxxx" : "-even-yyyy"), {i},
               100 + 37 * i);
  Disk f = sample(true);
  std::vector<Scenario> all = {
      {"create", Make, none, "", {}},
      {"create over an image", Make, f, "", {}},
      {"store 1 block", Store, Disk(40), "s", pattern(3000, 1)},
      {"store 1.1 MB", Store, Disk(560), "big", pattern(1100000, 2)},
      {"store 1 block into gaps", Store, sample(false), "g", pattern(4000, 3)},
      {"store 4 blocks across gaps", Store, sample(false), "g", pattern(16000, 4)},
      {"erase the first", Remove, f, "a", {}},
      {"erase a middle one", Remove, f, "c", {}},
      {"erase the last", Remove, f, "f", {}},
      {"read out", Fetch, f, "f", f.keep["f"]},
      {"read out onto the image", Fetch, f, "f", f.keep["f"], true},
      {"status", Status_, f, "", {}},
      {"repair", Repair, broken, "", {}},
  };
  for (int slot : {0, 9, 19})
    all.push_back({"erase slot " + std::to_string(slot) + " of 20", Remove, table,
                   "entry-" + std::to_string(10 + slot) + (slot % 2 ? "-odd-xxxxx" : "-even-yyyy"), {}});
  return all;
}

struct Outcome {
  std::string out, err;
  Status status;
};

class World {
 public:
  explicit World(const Scenario& s) : sc(s), target(s.intoImage ? "d.img" : "out") {
    want = sc.base.keep;
    if (sc.kind == Store) want[sc.name] = sc.content;
    if (sc.kind == Remove) want.erase(sc.name);
    if (sc.kind == Make) want.clear();
    if (sc.kind == Repair) {  // the image an uninterrupted repair leaves
      reset({});
      CheckSummary sum;
      (void)problems(env, "d.img", true, &sum);
      mended = *env.get("d.img");
    }
  }

  void reset(Plan plan) {
    env.reset();
    (void)env.remove("d.img"), (void)env.remove("out");
    if (!sc.base.bytes.empty()) env.put("d.img", sc.base.bytes);
    env.put("in", sc.content);
    env.reset(plan);
  }

  Outcome run() {
    std::ostringstream out, err;
    auto* o = std::cout.rdbuf(out.rdbuf());
    auto* e = std::cerr.rdbuf(err.rdbuf());
    Status s;
    CheckSummary sum;
    switch (sc.kind) {
      case Make: createDisk("d.img", 160, env); break;
      case Store: writeFile(sc.name.c_str(), "d.img", "in", env); break;
      case Remove: eraseFile("d.img", sc.name.c_str(), env); break;
      case Fetch: readFile("d.img", target.c_str(), sc.name.c_str(), env); break;
      case Status_: showStatus("d.img", env); break;
      case Repair: s = checkImage(env, "d.img", {.repair = true}, [](const Finding&) {}, &sum);
    }
    std::cout.rdbuf(o), std::cerr.rdbuf(e);
    return {out.str(), err.str(), s};
  }

  bool has(const std::string& name) {
    std::vector<std::string> n = listed(env, "d.img");
    return std::find(n.begin(), n.end(), name) != n.end();
  }

  // What a crash or a failure may leave: "" when it is acceptable. With
  // `torn`, an erase's move may leave half an entry for the repair.
  std::string judgeCut(bool torn, bool failed) {
    const Bytes* img = env.get("d.img");
    env.reset();
    if (sc.kind == Make) {
      CheckSummary sum;
      std::string p = img ? problems(env, "d.img", false, &sum) : "";
      return !img || *img == sc.base.bytes || !sum.headerSound || (p.empty() && !sum.files)
                 ? "" : "a half image: " + p;
    }
    if (!img || img->size() != sc.base.bytes.size()) return "the image is gone or resized";
    if (sc.kind == Fetch || sc.kind == Status_) return *img == sc.base.bytes ? "" : "changed";
    if (sc.kind == Repair) {
      CheckSummary sum;
      (void)problems(env, "d.img", true, &sum);
      return *env.get("d.img") == mended ? "" : "a second repair ends elsewhere";
    }
    std::vector<Finding> found;
    CheckSummary sum;
    (void)checkImage(env, "d.img", {}, &found, &sum);
    bool half = false;
    for (const Finding& f : found) {
      half |= f.kind == Problem::EntryTorn;
      if (f.kind != Problem::BlocksLeaked && f.kind != Problem::EntryRepeated &&
          !(failed && f.kind == Problem::FreeBlocksNotZero) && !(torn && half))
        return "problem " + std::to_string(int(f.kind)) + " at slot " + std::to_string(f.slot);
    }
    tornEntries += half;
    Files before = sc.base.keep;
    if (sc.kind == Store) before[sc.name] = sc.content;
    std::string cut = half ? "" : judge(env, "d.img", Look::AsIs, &before, sc.name);
    return cut.empty() ? judge(env, "d.img", Look::Repaired, &before, sc.name) : cut;
  }

  // Runs the operation again with no fault: it does what it should.
  std::string retry() {
    bool stored = sc.kind != Make && env.get("d.img") && has(sc.name);
    if (sc.kind == Fetch) (void)env.remove("out");
    env.reset();
    Outcome r = run();
    bool refused = (sc.kind == Store && stored) || (sc.kind == Remove && !stored) || sc.intoImage;
    if (refused == r.err.empty()) return "run again: " + r.err;
    if (sc.kind == Fetch && !sc.intoImage && (!env.get("out") || *env.get("out") != sc.content))
      return "run again: the copy differs";
    if (sc.kind == Repair) return *env.get("d.img") == mended ? "" : "repaired elsewhere";
    return judge(env, "d.img", Look::Clean, &want);
  }

  const Scenario& sc;
  std::string target;
  MemEnv env;
  Files want;  // the files once the operation is done
  Bytes mended;
  long tornEntries = 0;
};

// The image as it was but for the free table slots, whose bytes count for nothing.
bool sameTable(const Bytes& now, const Disk& base) {
  for (size_t i = 0; i < now.size(); ++i)
    if (now[i] != base.bytes[i] && (i < base.get(8) || i >= base.get(4))) return false;
  return now.size() == base.bytes.size();
}

// The write that commits (tableEnd at 8, or create's header at 0) is the
// one write there; all written before it is synced first, it is synced
// before anything after it, and only an erase writes after it (freeing).
void expectFenced(World& w) {
  if (w.sc.kind == Fetch || w.sc.kind == Status_ || w.sc.kind == Repair) return;
  const std::vector<Event>& t = w.env.trace;
  uint64_t at = w.sc.kind == Make ? 0 : 8;
  size_t h = t.size(), n = t.size();
  for (size_t i = 0; i < n; ++i) {
    if (t[i].kind != 'w' || t[i].offset != at) continue;
    EXPECT_EQ(h, n) << w.sc.label << ": committed twice";
    h = i;
  }
  ASSERT_LT(h + 1, n) << w.sc.label << ": no commit, or not synced";
  EXPECT_EQ(t[h + 1].kind, 's') << w.sc.label << ": commit not synced before what follows";
  auto writes = [](auto from, auto to) {
    return std::any_of(from, to, [](const Event& e) { return e.kind != 's'; });
  };
  auto mid = t.begin() + static_cast<long>(h);
  EXPECT_TRUE(w.sc.kind == Make || !writes(t.begin(), mid) || t[h - 1].kind == 's')
      << w.sc.label << ": a commit before a sync";
  bool after = writes(mid + 1, t.end());
  EXPECT_EQ(after, w.sc.kind == Remove) << "a write after the commit";
  EXPECT_TRUE(w.sc.kind == Remove || t.back().kind == 's') << "last write not synced";
}

// Sector boundaries strictly inside a write: the first, middle and last.
std::vector<size_t> tears(uint64_t offset, uint64_t len) {
  uint64_t first = (offset / 512 + 1) * 512, last = len ? (offset + len - 1) / 512 * 512 : 0;
  if (!len || first > last) return {};
  std::vector<size_t> keep{size_t(first - offset)};
  for (uint64_t b : {first + (last - first) / 1024 * 512, last})
    if (b - offset != keep.back()) keep.push_back(size_t(b - offset));
  return keep;
}

TEST(Faults, EveryScenarioUnderEveryPlan) {
  long crashes = 0, torn = 0, failures = 0, tornEntries = 0;
  for (const Scenario& sc : scenarios()) {
    World w(sc);
    w.reset({});
    Outcome clean = w.run();
    EXPECT_EQ(clean.err.empty(), !sc.intoImage) << sc.label << ": " << clean.err;
    expectFenced(w);
    if (sc.kind != Repair) {
      EXPECT_EQ(judge(w.env, "d.img", Look::Clean, &w.want), "") << sc.label;
    }
    EXPECT_EQ(w.retry(), "") << sc.label;
    for (long n = 1;; ++n) {  // crash at write n, whole then torn
      w.reset({.crashAtWrite = n});
      w.run();
      if (!w.env.crashed) break;
      std::vector<size_t> keeps = tears(w.env.crashOffset, w.env.crashLen);
      keeps.insert(keeps.begin(), 0);
      for (size_t keep : keeps) {
        std::string where = sc.label + ", crash at write " + std::to_string(n) + " keeping " +
                            std::to_string(keep);
        w.reset({.crashAtWrite = n, .keep = long(keep)});
        w.run();
        EXPECT_EQ(w.judgeCut(keep > 0, false), "") << where;
        EXPECT_EQ(w.retry(), "") << where;
        ++crashes, torn += keep > 0;
      }
    }
    for (int err : {EIO, ENOSPC})
      for (bool stays : {false, true})
        for (long n = 1;; ++n) {  // call n fails, once or from then on
          w.reset({.failAtCall = n, .err = err, .stays = stays});
          Outcome r = w.run();
          if (w.env.calls < n) break;
          ++failures;
          std::string where = sc.label + ", call " + std::to_string(n) + " (" + w.env.failed +
                              ") fails with " + std::to_string(err) + (stays ? " from then on" : "");
          long lines = std::count(r.err.begin(), r.err.end(), '\n');
          bool later = r.err.find("not freed") != std::string::npos;
          if (sc.kind == Repair) {
            EXPECT_EQ(w.judgeCut(false, true), "") << where;
          } else if (r.err.empty() && !sc.intoImage) {  // the failure did not matter
            w.env.reset();
            EXPECT_EQ(judge(w.env, "d.img", Look::Clean, &w.want), "") << where;
          } else {
            EXPECT_TRUE(lines == 1 || (sc.kind == Status_ && lines == 2)) << where << ": " << r.err;
            EXPECT_TRUE(sc.kind == Status_ || r.out == (later ? "File " + sc.name + " removed from disk.\n" : ""))
                << where << ": " << r.out;
            if (later) w.env.reset();
            EXPECT_EQ(later ? judge(w.env, "d.img", Look::Repaired, &w.want) : w.judgeCut(false, true), "")
                << where;
            const Bytes* out = w.env.get(w.target);
            EXPECT_TRUE(stays || sc.kind != Fetch || sc.intoImage || !out || *out == sc.content)
                << where << ": a half file is left";
            const Bytes* img = w.env.get("d.img");
            EXPECT_TRUE(stays || sc.kind != Make || !img || *img == sc.base.bytes)
                << where << ": a half image is left";
            EXPECT_TRUE(stays || sc.kind != Store || later || w.has(sc.name) || sameTable(*img, sc.base))
                << where << ": the blocks taken are not given back";
          }
          EXPECT_EQ(w.retry(), "") << where;
        }
    if (!sc.base.bytes.empty()) {  // a lock held too long elsewhere
      w.reset({.lockBusy = true});
      Outcome r = w.run();
      std::string busy = "Virtual disk image is in use by another process!\n";
      EXPECT_EQ(r.err, sc.kind == Repair ? "" : sc.kind == Status_ ? busy + busy : busy);
      EXPECT_TRUE(r.out.empty() && *w.env.get("d.img") == sc.base.bytes && !w.env.get("out"))
          << sc.label;
      EXPECT_TRUE(sc.kind != Repair || r.status.code == Error::Locked);
    }
    tornEntries += w.tornEntries;
  }
  std::cout << "crash points: " << crashes << " (" << torn << " torn, " << tornEntries
            << " leaving half an entry); failure points: " << failures << std::endl;
  EXPECT_GT(tornEntries, 0) << "the 20-entry table should reach past a sector boundary";
}

}  // namespace
}  // namespace korvane::test
