// Every operation under every fault. Each scenario runs once cleanly, its
// commit fenced by syncs; then crashes at each of its writes, whole and torn
// at sector boundaries; then meets a failure at each of its calls, EIO and
// ENOSPC, once and from then on; then a lock that never comes free. The judge
// is the checker, with its repair, and every stored file read back: the
// operation's file whole or absent, nothing else lost; a failure prints one
// line and undoes what it can. Then the operation runs again as a user would.
#include <gtest/gtest.h>

#include "tests/judge.h"

namespace korvane::test {
namespace {

enum Kind { Make, Store, Remove, Fetch, Stat, Repair };

// The image before (no bytes: none), the file written, erased or read out and
// its bytes, and whether it is read out onto the image itself.
struct Scenario {
  std::string label;
  Kind kind;
  Disk base;
  std::string name;
  Bytes content;
  bool intoImage = false;
};

std::vector<Scenario> scenarios() {
  Disk none(0), table(40), gaps(40), broken = build("f_many_problems");
  // Names differ after their third byte, so half an entry shows as a wrong file.
  auto entry = [](int i) { return "entry-" + std::to_string(10 + i) + (i % 2 ? "-odd-xxxxx" : "-even-yyyy"); };
  for (uint32_t i = 0; i < 20; ++i) table.file(entry(i), {i}, 100 + 37 * i);
  gaps.file("a", {0, 1}, 8000), gaps.file("c", {3, 4, 5}, 12000), gaps.file("e", {7, 8}, 5000), none.bytes.clear();
  Disk f = gaps;
  f.file("f", {2, 6, 9, 10}, 16000);
  std::vector<Scenario> all = {
      {"create", Make, none, "", {}}, {"create over an image", Make, f, "", {}},
      {"store 1 block", Store, Disk(40), "s", pattern(3000, 1)},
      {"store 1.1 MB", Store, Disk(560), "big", pattern(1100000, 2)},
      {"store 1 block into gaps", Store, gaps, "g", pattern(4000, 3)},
      {"store 4 blocks across gaps", Store, gaps, "g", pattern(16000, 4)},
      {"erase the first", Remove, f, "a", {}}, {"erase a middle one", Remove, f, "c", {}},
      {"erase the last", Remove, f, "f", {}}, {"read out", Fetch, f, "f", f.keep["f"]},
      {"read out onto the image", Fetch, f, "f", f.keep["f"], true}, {"status", Stat, f, "", {}},
      {"repair", Repair, broken, "", {}}, {"repair a torn erase", Repair, build("f_torn_entry_high"), "", {}},
      {"repair entries past the end", Repair, build("f_hidden_entries_apart"), "", {}}};
  for (int i : {0, 9, 19}) all.push_back({"erase slot " + std::to_string(i) + " of 20", Remove, table, entry(i), {}});
  return all;
}

struct World {
  explicit World(const Scenario& s)
      : sc(s), target(s.intoImage ? "d.img" : "out"), want(s.kind == Make ? Files{} : s.base.keep) {
    if (sc.kind == Store) want[sc.name] = sc.content;
    if (sc.kind == Remove) want.erase(sc.name);
    reset({});
  }
  void reset(Plan plan) {
    env.files.clear();
    if (!sc.base.bytes.empty()) env.put("d.img", sc.base.bytes);
    env.put("in", sc.content), env.reset(plan);
  }
  std::pair<std::string, std::string> run() {  // what it prints on each stream
    std::ostringstream out, err;
    auto *o = std::cout.rdbuf(out.rdbuf()), *e = std::cerr.rdbuf(err.rdbuf());
    switch (sc.kind) {
      case Make: createDisk("d.img", 160, env); break;
      case Store: writeFile(sc.name.c_str(), "d.img", "in", env); break;
      case Remove: eraseFile("d.img", sc.name.c_str(), env); break;
      case Fetch: readFile("d.img", target.c_str(), sc.name.c_str(), env); break;
      case Stat: showStatus("d.img", env); break;
      case Repair: locked = checkImage(env, "d.img", {.repair = true}, [](auto&) {}, &sum).code == Error::Locked;
    }
    std::cout.rdbuf(o), std::cerr.rdbuf(e);
    return {out.str(), err.str()};
  }
  bool has(const std::string& name) { return std::ranges::count(listed(env, "d.img"), name) > 0; }

  // What a crash or a failure may leave: "" when it is acceptable. Torn, an
  // erase's move may leave half an entry, for the repair to mend.
  std::string judgeCut(bool torn, bool failed) {
    Bytes* img = env.get("d.img");
    env.reset();
    if (sc.kind == Make) {
      std::string p = img ? problems(env, "d.img", false, &sum) : "";
      return !img || *img == sc.base.bytes || !sum.headerSound || (p.empty() && !sum.files) ? "" : "half made: " + p;
    }
    if (!img || img->size() != sc.base.bytes.size()) return "the image is gone or resized";
    if (sc.kind == Fetch || sc.kind == Stat) return *img == sc.base.bytes ? "" : "changed";
    if (sc.kind == Repair) return problems(env, "d.img", true, &sum), judge(env, "d.img", Look::Clean, &want);
    std::vector<Finding> found;
    bool half = false;
    (void)checkImage(env, "d.img", {}, &found, &sum);
    for (const Finding& f : found)
      if (!(half |= f.kind == Problem::EntryTorn) && f.kind != Problem::BlocksLeaked && f.kind != Problem::EntryRepeated &&
          f.kind != Problem::OrphanSaved && f.kind != Problem::TableEndHidesEntries &&
          !(failed && f.kind == Problem::FreeBlocksNotZero))
        return "problem " + std::to_string(int(f.kind)) + " at slot " + std::to_string(f.slot);
    if (half && !torn) return "half an entry";
    Files before = sc.base.keep;
    if (sc.kind == Store) before[sc.name] = sc.content;
    std::string cut = half ? "" : judge(env, "d.img", Look::AsIs, &before, sc.name);
    return tornEntries += half, cut.empty() ? judge(env, "d.img", Look::Repaired, &before, sc.name) : cut;
  }

  // Runs the operation again with no fault: it does what it should.
  std::string retry() {
    bool stored = sc.kind != Make && env.get("d.img") && has(sc.name);
    env.files.erase("out"), env.reset();
    auto [out, err] = run();
    if (((sc.kind == Store && stored) || (sc.kind == Remove && !stored) || sc.intoImage) == err.empty())
      return "run again: " + err;
    if (sc.kind == Fetch && !sc.intoImage && (!env.get("out") || *env.get("out") != sc.content)) return "the copy differs";
    return judge(env, "d.img", Look::Clean, &want);
  }

  // The write that commits (tableEnd at 8, or create's header at 0) is the one
  // write there; all written before it is synced first, it is synced before
  // anything after it, and only an erase writes after it (freeing blocks).
  std::string fenced() {
    const auto& t = env.trace;
    auto writes = [&](size_t from, size_t to) {
      return std::any_of(t.begin() + long(from), t.begin() + long(to), [](auto& e) { return e.first != 's'; });
    };
    size_t h = t.size(), commits = 0;
    for (size_t i = 0; i < t.size(); ++i)
      if (t[i].first == 'w' && t[i].second == (sc.kind == Make ? 0 : 8)) h = i, ++commits;
    if (sc.kind == Fetch || sc.kind == Stat || sc.kind == Repair) return "";
    if (commits != 1 || h + 1 == t.size() || t[h + 1].first != 's') return "a commit not synced before what follows";
    if (sc.kind != Make && writes(0, h) && t[h - 1].first != 's') return "a commit before a sync";
    if (writes(h + 1, t.size()) != (sc.kind == Remove)) return "writes after the commit";
    return sc.kind == Remove || t.back().first == 's' ? "" : "last write not synced";
  }

  const Scenario& sc;
  std::string target;
  Files want;  // the files once the operation is done
  MemEnv env;
  CheckSummary sum;
  long tornEntries = 0;
  bool locked = false;
};

TEST(Faults, EveryScenarioUnderEveryPlan) {
  long crashes = 0, torn = 0, failures = 0, tornEntries = 0;
  for (const Scenario& sc : scenarios()) {
    World w(sc);
    auto [out, err] = w.run();
    EXPECT_EQ(err.empty(), !sc.intoImage) << sc.label << ": " << err;
    EXPECT_TRUE(sc.kind != Make || *w.env.get("d.img") == Disk(40).bytes) << sc.label;
    EXPECT_EQ(w.fenced(), "") << sc.label;
    EXPECT_EQ(w.retry(), "") << sc.label;
    for (long n = 1;; ++n) {  // crash at write n, whole, then torn at the first, middle and last sector boundary
      w.reset({.crashAtWrite = n});
      w.run();
      if (!w.env.crashed) break;
      uint64_t at = w.env.crashOffset, len = w.env.crashLen, first = at / 512 * 512 + 512, last = (at + len - 1) / 512 * 512;
      std::set<uint64_t> ends{at};
      if (len > 0 && first <= last) ends.insert({first, first + (last - first) / 1024 * 512, last});
      for (uint64_t end : ends) {
        std::string where = sc.label + ", crash at write " + std::to_string(n) + " keeping " + std::to_string(end - at);
        w.reset({.crashAtWrite = n, .keep = long(end - at)});
        w.run();
        EXPECT_EQ(w.judgeCut(end > at, false), "") << where;
        EXPECT_EQ(w.retry(), "") << where;
        ++crashes, torn += end > at;
      }
    }
    for (int e : {EIO, ENOSPC})
      for (bool stays : {false, true})
        for (long n = 1;; ++n) {  // call n fails, once or from then on
          w.reset({.failAtCall = n, .err = e, .stays = stays});
          auto [out, err] = w.run();
          if (w.env.calls < n) break;
          std::string where = sc.label + ", call " + std::to_string(n) + " (" + w.env.failed + ") fails with " +
                              std::to_string(e) + (stays ? " from then on" : "");
          long lines = std::count(err.begin(), err.end(), '\n');
          bool later = err.find("not freed") != std::string::npos;  // the erase is done
          Bytes *img = w.env.get("d.img"), *copy = w.env.get(w.target);
          ++failures, w.env.reset();
          if (err.empty() && sc.kind != Repair) {  // the failure did not matter
            EXPECT_EQ(judge(w.env, "d.img", Look::Clean, &w.want), "") << where;
          } else if (later) {
            EXPECT_EQ(out + std::to_string(lines), "File " + sc.name + " removed from disk.\n1") << where;
            // Its blocks still hold it whole, just past the table's end: a
            // repair that loses nothing may take it for a file tableEnd hides.
            EXPECT_EQ(judge(w.env, "d.img", Look::Repaired, &sc.base.keep, sc.name), "") << where;
          } else {
            EXPECT_TRUE(lines == 1 || sc.kind == Repair || (sc.kind == Stat && lines == 2)) << where << ": " << err;
            EXPECT_TRUE(out.empty() || sc.kind == Stat) << where << ": " << out;
            EXPECT_TRUE(stays || sc.kind != Fetch || sc.intoImage || !copy || *copy == sc.content) << where << ": half a file";
            EXPECT_TRUE(stays || sc.kind != Make || !img || *img == sc.base.bytes) << where << ": half an image";
            // The blocks taken are given back: all as it was but the free table slots.
            for (size_t i = 0, back = !stays && sc.kind == Store && !w.has(sc.name); back && i < img->size(); ++i)
              if ((*img)[i] != sc.base.bytes[i] && (i < sc.base.get(8) || i >= sc.base.get(4))) ADD_FAILURE() << where << " " << i;
            EXPECT_EQ(w.judgeCut(false, true), "") << where;
          }
          EXPECT_EQ(w.retry(), "") << where;
        }
    if (!sc.base.bytes.empty()) {  // a lock held too long elsewhere
      w.reset({.lockBusy = true});
      auto [out, err] = w.run();
      std::string busy = sc.kind == Repair ? "" : "Virtual disk image is in use by another process!\n";
      EXPECT_EQ(out + err, busy) << sc.label;
      EXPECT_TRUE(*w.env.get("d.img") == sc.base.bytes && !w.env.get("out") && w.locked == (sc.kind == Repair));
    }
    tornEntries += w.tornEntries;
  }
  std::cout << "crash points: " << crashes << " (" << torn << " torn, " << tornEntries
            << " leaving half an entry); failure points: " << failures << std::endl;
  EXPECT_GT(tornEntries, 0) << "the 20-entry table should reach past a sector boundary";
}

}  // namespace
}  // namespace korvane::test
