// Crash at every write: each operation is stopped at its first write, then
// its second, and so on until it runs to the end, with nothing of the cut
// write landing and with a sector-aligned prefix of it landing (a torn
// write). After every cut the independent checker judges the image, and the
// operation is run again as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "image/check.h"
#include "tests/fault_env.h"
#include "tests/scenarios.h"

namespace korvane::test {
namespace {

constexpr uint64_t Sector = 512;

struct Tally {
  long points = 0;
  long torn = 0;
  long tornEntries = 0;  // states the checker had to mend before they were safe
};

// Prefix lengths of a write at `offset` that end on a sector boundary
// strictly inside it: the first, middle and last such boundary.
std::vector<size_t> tearPoints(uint64_t offset, uint64_t len) {
  uint64_t first = (offset / Sector + 1) * Sector;
  uint64_t last = len == 0 ? 0 : (offset + len - 1) / Sector * Sector;
  if (len == 0 || first > last) return {};
  uint64_t mid = first + (last - first) / Sector / 2 * Sector;
  std::vector<size_t> keep{static_cast<size_t>(first - offset)};
  for (uint64_t b : {mid, last})
    if (b - offset != keep.back()) keep.push_back(static_cast<size_t>(b - offset));
  return keep;
}

// Runs the checker's repair over the crashed image; afterwards nothing may
// be wrong, not even a remnant, and no file may be lost or changed. Returns
// whether the checker met an entry torn by an interrupted move.
bool expectMended(World& w, const std::string& where) {
  std::vector<Finding> findings;
  CheckSummary summary;
  EXPECT_TRUE(korvane::checkImage(Env::host(), w.imagePath().c_str(), {.repair = true}, &findings,
                                  &summary)
                  .ok())
      << where;
  w.look();
  EXPECT_EQ(w.judgeCut(), "") << where << ", after the checker's repair";
  EXPECT_TRUE(w.report().problems.empty() && w.report().remnants.empty())
      << where << ", after the checker's repair: " << w.report().describe();
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& f) { return f.kind == Problem::EntryTorn; });
}

// What a crash leaves must be safe as it is, or, for an entry that a torn
// sector cut in two during erase's move, safe once the checker has mended
// it. Either way the checker leaves nothing wrong, and the operation then
// runs again as a user would.
void expectSafe(World& w, const std::string& where, Tally& tally, bool torn) {
  w.look();
  bool create = w.imageExists() && !w.report().isImage;  // a create cut before its header
  std::string cut = w.judgeCut();
  Bytes crashed = w.image();
  if (!create && w.imageExists()) {
    bool tornEntry = expectMended(w, where);
    EXPECT_TRUE(cut.empty() || (torn && tornEntry)) << where << ": " << cut;
    tally.tornEntries += !cut.empty() && tornEntry;
    writeBytes(w.imagePath(), crashed);
    w.look();
  } else {
    EXPECT_EQ(cut, "") << where;
  }
  if (cut.empty()) {
    EXPECT_EQ(w.retry(), "") << where;
  }
}

// Crashes `sc` at each of its writes in turn, whole and torn.
void crashEverywhere(const Scenario& sc, Tally& tally) {
  World w(sc);
  ASSERT_TRUE(w.before().problems.empty()) << sc.label << ": " << w.before().describe();
  for (long n = 1;; ++n) {
    uint64_t offset = 0, len = 0;
    w.reset();
    FaultEnv env({.crashAtWrite = n,
                  .keep = [&](uint64_t o, size_t l) {
                    offset = o;
                    len = l;
                    return size_t{0};
                  },
                  .skipSync = true});
    Status s = w.runLogic(env);
    if (!env.crashed()) {
      w.look();
      EXPECT_TRUE(s.ok() || sc.intoImage) << sc.label << ": run without a crash failed";
      EXPECT_EQ(w.judgeDone(true), "") << sc.label << ": run without a crash";
      return;
    }
    std::string where = sc.label + ", crash at write " + std::to_string(n) + " (offset " +
                        std::to_string(offset) + ", " + std::to_string(len) + " bytes)";
    expectSafe(w, where, tally, false);
    ++tally.points;
    for (size_t keep : tearPoints(offset, len)) {
      w.reset();
      FaultEnv torn({.crashAtWrite = n,
                     .keep = [keep](uint64_t, size_t) { return keep; },
                     .skipSync = true});
      (void)w.runLogic(torn);
      expectSafe(w, where + ", first " + std::to_string(keep) + " bytes landed", tally, true);
      ++tally.points;
      ++tally.torn;
    }
  }
}

void crashAll(Scenario::Kind kind, const char* what) {
  Tally tally;
  for (const Scenario& sc : scenarios())
    if (sc.kind == kind) crashEverywhere(sc, tally);
  std::cout << what << ": crash points tried: " << tally.points << " (" << tally.torn << " torn)"
            << std::endl;
  EXPECT_EQ(tally.tornEntries, 0) << "short tables hold no entry across a sector boundary";
  ::testing::Test::RecordProperty("crash_points", static_cast<int>(tally.points));
  ::testing::Test::RecordProperty("torn", static_cast<int>(tally.torn));
}

TEST(CrashTest, Create) { crashAll(Scenario::Make, "create"); }
TEST(CrashTest, Write) { crashAll(Scenario::Store, "write"); }
TEST(CrashTest, Erase) { crashAll(Scenario::Remove, "erase"); }
TEST(CrashTest, ReadOut) { crashAll(Scenario::Fetch, "read out"); }

// Erase moves the later entries down in place. With 20 entries the table
// runs past byte 512, so a torn move can land half of an entry: the entry
// in slot 15 lies at bytes 497-528. Names differ after their third byte, so
// such a half entry shows as a wrong file, not as a copy. The format cannot
// make that move atomic; what it leaves is an entry that begins like the one
// after it, and the checker puts the table back without loss.
TEST(CrashTest, EraseOfALongTableTornEntriesAreMended) {
  std::vector<std::pair<std::string, long>> steps;
  for (int i = 0; i < 20; ++i) {
    char name[20];
    std::snprintf(name, sizeof name, "entry-%02d-%s", i, i % 2 ? "odd-xxxxx" : "even-yyyy");
    steps.push_back({name, 100 + 37 * i});
  }
  Bytes base = buildImage(40, steps);
  Tally tally;
  for (int slot : {0, 9, 19}) {
    const auto& [name, size] = steps[slot];
    Scenario sc{"erase slot " + std::to_string(slot) + " of 20", Scenario::Remove, base, name,
                contentOf(name, static_cast<size_t>(size))};
    crashEverywhere(sc, tally);
  }
  std::cout << "erase of a long table: crash points tried: " << tally.points << " ("
            << tally.torn << " torn, " << tally.tornEntries << " leaving a torn entry)" << std::endl;
  EXPECT_GT(tally.tornEntries, 0) << "the table should have reached past a sector boundary";
}

// ---- What is synced before what ----
// A crash loop cannot see a sync; on a real disk, writes not yet synced may
// land in any order. So the write that makes a change visible (tableEnd,
// or create's header) must come after a sync of everything before it, and
// be synced itself before anything that relies on it.

size_t headerWrite(const std::vector<FaultEnv::Event>& t, uint64_t offset) {
  size_t found = t.size();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind == 'w' && t[i].offset == offset) {
      EXPECT_EQ(found, t.size()) << "the header is written twice";
      found = i;
    }
  }
  EXPECT_LT(found, t.size()) << "no header write";
  return found;
}

bool lastWrite(const std::vector<FaultEnv::Event>& t, size_t i) {
  for (size_t j = i + 1; j < t.size(); ++j)
    if (t[j].kind != 's') return false;
  return true;
}

TEST(CrashTest, CommitsAreFencedBySyncs) {
  for (const Scenario& sc : scenarios()) {
    if (sc.kind == Scenario::Fetch || (sc.kind == Scenario::Make && !sc.base.empty())) continue;
    World w(sc);
    w.reset();
    FaultEnv env({});
    ASSERT_TRUE(w.runLogic(env).ok()) << sc.label;
    const auto& t = env.trace();
    size_t h = headerWrite(t, sc.kind == Scenario::Make ? 0 : 8);
    if (h >= t.size()) continue;
    ASSERT_LT(h + 1, t.size()) << sc.label;
    EXPECT_EQ(t[h + 1].kind, 's') << sc.label << ": commit not synced before what follows";
    // Erase frees its blocks after the synced commit without a sync of its
    // own: losing that only leaves blocks marked used.
    EXPECT_TRUE(sc.kind == Scenario::Remove || t.back().kind == 's')
        << sc.label << ": last write not synced";
    if (sc.kind == Scenario::Make) {
      EXPECT_TRUE(lastWrite(t, h)) << sc.label << ": header not written last";
      continue;
    }
    // Everything written before the commit is synced first (an erase of
    // the last entry writes nothing before it).
    bool wroteBefore = std::any_of(t.begin(), t.begin() + static_cast<long>(h),
                                   [](const FaultEnv::Event& e) { return e.kind != 's'; });
    EXPECT_TRUE(!wroteBefore || t[h - 1].kind == 's') << sc.label << ": commit before a sync";
    if (sc.kind == Scenario::Store)
      EXPECT_TRUE(lastWrite(t, h)) << sc.label << ": a write after the commit";
    else
      EXPECT_FALSE(lastWrite(t, h)) << sc.label << ": no block freed after the commit";
  }
}

}  // namespace
}  // namespace korvane::test
