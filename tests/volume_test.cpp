// The mount's file-system layer without a kernel: korvane's own bytes and
// reads that match what was written; its faults are tests/fault_test.cpp's.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <random>

#include "image/check.h"
#include "image/store.h"
#include "mount/session.h"
#include "mount/volume.h"
#include "tests/images.h"
#include "tests/judge.h"
#include "tests/mem_env.h"

namespace korvane::test {
namespace {

class VolumeTest : public ::testing::Test {
 protected:
  // A 64-block image holding "b" in blocks 1-2 and "c" in block 4, so the
  // lowest free blocks are not the first ones.
  void SetUp() override {
    disk.file("b", {1, 2}, pattern(5000, 1));
    disk.file("c", {4}, pattern(3000, 2));
    spit(image, disk.bytes);
  }
  // The volume over the image on the host, or over a fresh copy in `mem`.
  std::unique_ptr<Volume> open(MemEnv* mem = nullptr) {
    std::unique_ptr<Volume> v;
    if (mem) mem->put("d.img", disk.bytes);
    EXPECT_TRUE(Volume::open(mem ? *mem : Env::host(), mem ? "d.img" : image.c_str(), &v).ok());
    return v;
  }
  static std::string readAll(Volume& v, std::string_view name) {
    uint64_t size = 0;
    size_t got = 0;
    if (!v.size(name, &size).ok()) return "(missing)";
    std::string out(size, '?');
    EXPECT_TRUE(v.read(name, 0, out.size(), out.data(), &got).ok() && got == size);
    return out;
  }
  std::vector<Finding> problems(bool repair = false) {
    std::vector<Finding> findings;
    CheckSummary sum;
    EXPECT_TRUE(checkImage(Env::host(), image.c_str(), {.repair = repair}, &findings, &sum).ok());
    return findings;
  }

  Disk disk{64};
  TempDir dir;
  std::string image = dir.file("d.img");
};

// ---- the same bytes as korvane's own operations --------------------------

TEST_F(VolumeTest, CopyInAndEraseLeaveTheImageKorvaneLeaves) {
  Bytes data = pattern(3 * 4092 * 9 + 17, 3);
  spit(dir.file("src"), data);
  std::string twin = dir.file("twin.img");
  std::filesystem::copy_file(image, twin);
  std::unique_ptr<Volume> v = open();
  ASSERT_TRUE(v->create("new").ok());
  ASSERT_TRUE(v->commitLater("new", true).ok());  // a close before the first write, as cp makes
  for (size_t at = 0; at < data.size(); at += 10000) {
    size_t n = std::min<size_t>(10000, data.size() - at);
    ASSERT_TRUE(v->write("new", at, reinterpret_cast<const char*>(&data[at]), n).ok());
  }
  ASSERT_TRUE(v->commit("new").ok() && v->remove("b").ok() && v->close().ok());
  v.reset();
  ASSERT_TRUE(storeFile(Env::host(), "new", twin.c_str(), dir.file("src").c_str()).ok());
  ASSERT_TRUE(eraseAll(Env::host(), twin.c_str(), "b").ok());
  EXPECT_TRUE(slurp(image) == slurp(twin));
}

// ---- changes, checked against a model of every file ----------------------

TEST_F(VolumeTest, RandomChangesReadBackAndLeaveACleanImage) {
  std::map<std::string, std::string> model;
  std::unique_ptr<Volume> v = open();
  for (const auto& [name, bytes] : disk.keep) model[name].assign(bytes.begin(), bytes.end());
  std::mt19937 rng(7);
  const char* names[] = {"b", "c", "d"};
  for (int step = 0; step < 300; ++step) {
    std::string name = names[rng() % 3];
    SCOPED_TRACE("step " + std::to_string(step) + " on " + name);
    ASSERT_TRUE(model.count(name) || v->create(name).ok());
    std::string& m = model[name];
    size_t at = rng() % 20000, len = rng() % 9000;
    if (int op = rng() % 6; op < 2) {
      std::string bytes(len, static_cast<char>('a' + step % 26));
      ASSERT_TRUE(v->write(name, at, bytes.data(), len).ok());
      m.resize(std::max(m.size(), at + len), '\0');
      m.replace(at, len, bytes);
    } else if (op == 2) {
      ASSERT_TRUE(v->resize(name, at).ok());
      m.resize(at, '\0');
    } else if (op == 3) {
      ASSERT_TRUE((step % 2 ? v->commit(name) : v->commitLater(name)).ok());
    } else if (op == 4) {
      ASSERT_TRUE(v->remove(name).ok());
      model.erase(name);
    } else {
      std::string to = names[rng() % 3];
      ASSERT_TRUE(v->rename(name, to, false).ok());
      if (to != name) model[to] = std::move(m), model.erase(name);
      name = to;
    }
    ASSERT_EQ(readAll(*v, name), model.count(name) ? model[name] : "(missing)");
  }
  // A new file still open at the close is stored too.
  ASSERT_TRUE(v->create("e").ok() && v->write("e", 0, "end", 3).ok());
  model["e"] = "end";
  ASSERT_TRUE(v->close().ok());
  v = open();
  for (const auto& [name, bytes] : model) EXPECT_EQ(readAll(*v, name), bytes) << name;
  EXPECT_EQ(v->names().size(), model.size());
  v.reset();
  EXPECT_TRUE(problems().empty());
}

// ---- what a stat shows ------------------------------------------------------

// A file's times move when it is written, and the folder's when a name
// comes or goes; its mode and owner follow it through a rename, also over
// another file, until the volume closes.
TEST_F(VolumeTest, AttributesMoveWithTheirOwnFileOnly) {
  std::unique_ptr<Volume> v = open();
  v->setDefaults({.mode = 0644, .uid = 7}, {.mode = 0755});
  Attributes mine{.mode = 0100600, .uid = 9};
  ASSERT_TRUE(v->create("n", &mine).ok() && v->setAttributes("b", {.mode = 0750}).ok());
  struct Row {
    const char* what;
    std::function<Status()> op;
    std::string moved;  // names whose modification time moved; "/" the folder's
  } rows[] = {
      {"write", [&] { return v->write("b", 9000, "x", 1); }, "b"},
      {"resize", [&] { return v->resize("c", 10); }, "c"},
      {"create", [&] { return v->create("d"); }, "d/"},
      {"commit", [&] { return v->commit("n"); }, ""},
      {"rename", [&] { return v->rename("d", "e", false); }, "/"},
      {"over", [&] { return v->rename("n", "c", false); }, "/"},
      {"remove", [&] { return v->remove("e"); }, "/"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> names = v->names();
    names.push_back("");
    for (const std::string& name : names) {  // every time back to 0, modes kept
      Attributes a;
      ASSERT_TRUE(v->attributes(name, &a).ok());
      a.mtime = {};
      ASSERT_TRUE(v->setAttributes(name, a).ok());
    }
    ASSERT_TRUE(row.op().ok()) << row.what;
    for (const std::string& name : v->names()) {
      Attributes a;
      ASSERT_TRUE(v->attributes(name, &a).ok());
      EXPECT_EQ(a.mtime.tv_sec != 0, row.moved.find(name) != std::string::npos)
          << row.what << " " << name;
    }
    Attributes folder;
    ASSERT_TRUE(v->attributes("", &folder).ok());
    EXPECT_EQ(folder.mtime.tv_sec != 0, row.moved.find('/') != std::string::npos) << row.what;
  }
  Attributes b, c, d;
  ASSERT_TRUE(v->attributes("b", &b).ok() && v->attributes("c", &c).ok());
  EXPECT_TRUE(b.mode == 0750 && c.mode == 0600 && c.uid == 9 && v->attributes("d", &d).code == Error::NotStored);
}

// ---- costs -------------------------------------------------------------------

// A write into a draft writes the bytes it lands on, the links between
// them, and the blocks the draft grows by whole: not the rest of a block,
// nor every block after it.
TEST_F(VolumeTest, AWriteCostsTheBlocksItTouches) {
  const std::pair<uint64_t, uint64_t> rows[] = {  // offset of 6 bytes, bytes written
      {10 * 4092 + 4090, 6 + 4},
      {20 * 4092 + 100, 6},
      {50 * 4092 - 3, 3 + 4 + 4096},
      {50 * 4092, 4 + 4096},
      {52 * 4092, 4 + 3 * 4096},
  };
  for (auto [at, cost] : rows) {
    MemEnv env;
    std::unique_ptr<Volume> v = open(&env);
    std::string big(50 * 4092, 'x');
    ASSERT_TRUE(v->create("n").ok());
    ASSERT_TRUE(v->write("n", 0, big.data(), big.size()).ok());
    env.reset();
    ASSERT_TRUE(v->write("n", at, "across", 6).ok());
    EXPECT_EQ(env.written, cost) << at;
    big.resize(std::max<size_t>(big.size(), at + 6), '\0'), big.replace(at, 6, "across");
    EXPECT_EQ(readAll(*v, "n"), big) << at;
  }
}

// A write that fails at any of its calls breaks only its draft: the file
// stays as last committed, and the files after it are stored.
TEST_F(VolumeTest, AFailedWriteDropsOnlyItsDraft) {
  Files want = disk.keep;
  want["n"] = {'n', 'e', 'w'};
  for (long k = 1;; ++k) {
    MemEnv env;
    std::unique_ptr<Volume> v = open(&env);
    env.reset({.failAtCall = k});
    if (v->write("b", 4000, "changed", 7).ok()) break;  // k is past its calls
    (void)v->commit("b");  // told of the failure, unless no draft was made
    ASSERT_TRUE(v->create("n").ok() && v->write("n", 0, "new", 3).ok() && v->commit("n").ok() && v->close().ok());
    EXPECT_EQ(judge(env, "d.img", Look::Clean, &want), "") << k;
  }
  // An erase whose commit failed is not tried again: the host may have
  // dropped what it could not store, and call the next sync a success.
  for (long k = 1;; ++k) {
    MemEnv env;
    std::unique_ptr<Volume> v = open(&env);
    ASSERT_TRUE(v->remove("b").ok());
    env.reset({.failAtCall = k});
    if (v->commitQueued().ok()) break;
    EXPECT_FALSE(v->commitQueued().ok() || v->pending() || v->create("n").ok()) << k;
  }
}

// The session's worker stores a large write handed to it, and commits the
// new files closed when asked: nothing told, as nothing failed.
TEST_F(VolumeTest, ASessionsWorkerStoresAndCommits) {
  MemEnv env;
  int told = 0;
  Session s(open(&env), std::chrono::hours(1), [&](const Status&) { ++told; });
  Files want = disk.keep;
  Bytes& big = want["n"] = pattern(Session::HandOverBytes + 5, 9);
  ASSERT_TRUE(s.start().ok());
  auto held = s.hold();
  ASSERT_TRUE(s.volume().create("n").ok());
  ASSERT_TRUE(s.store("n", 0, reinterpret_cast<const char*>(big.data()), big.size()).ok());
  held.unlock();
  held = s.hold();  // once the write handed over is stored
  ASSERT_TRUE(s.afterWrites("n", [&] { return s.volume().commitLater("n"); }).ok());
  held.unlock();
  s.commitSoon();
  EXPECT_EQ(judge(env, "d.img", Look::Clean, &want), "");
  // A write handed over as the session stops is stored before it closes.
  Bytes& late = want["m"] = pattern(Session::HandOverBytes * 2, 3);
  held = s.hold();
  ASSERT_TRUE(s.volume().create("m").ok());
  ASSERT_TRUE(s.store("m", 0, reinterpret_cast<const char*>(late.data()), late.size()).ok());
  // stop() waits for the holder to let go, and for the worker to store it.
  auto stopped = std::async(std::launch::async, [&] { return s.stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  held.unlock();
  EXPECT_TRUE(stopped.get().ok());
  EXPECT_EQ(judge(env, "d.img", Look::Clean, &want), "");
  EXPECT_EQ(told, 0);
}

// ---- refusals ----------------------------------------------------------------

TEST_F(VolumeTest, RefusalsChangeNothingAndADamagedImageIsNotOpened) {
  std::unique_ptr<Volume> v = open();
  EXPECT_EQ(v->create("twenty-bytes-long-xx").code, Error::NameTooLong);
  EXPECT_EQ(v->create("b").code, Error::Exists);
  EXPECT_EQ(v->rename("b", "c", true).code, Error::Exists);
  EXPECT_EQ(v->remove("zz").code, Error::NotStored);
  // 61 blocks are free: a file of 62 is refused before a block is taken.
  std::string big(62 * 4092, 'x');
  EXPECT_EQ(v->write("c", 0, big.data(), big.size()).code, Error::NoSpace);
  // What fits of it is what a write may take; past the end of the largest
  // file, nothing.
  size_t fit = big.size(), none = 1;
  EXPECT_TRUE(v->fits("c", 0, &fit).ok() && fit == 61 * 4092);
  EXPECT_EQ(v->fits("c", MaxFileSize, &none).code, Error::FileTooLarge);
  EXPECT_EQ(v->resize("c", 62 * 4092).code, Error::NoSpace);
  EXPECT_EQ(v->stats().freeBlocks, 61u);
  ASSERT_TRUE(v->close().ok());
  // Opened read-only, under the shared lock, beside a reader.
  std::unique_ptr<Image> reader;
  ASSERT_TRUE(Image::open(Env::host(), image.c_str(), Access::Read, &reader).ok());
  ASSERT_TRUE(Volume::open(Env::host(), image.c_str(), &v, 0, Access::Read).ok());
  for (Status s : {v->create("n"), v->write("b", 0, "x", 1), v->resize("b", 1), v->remove("b"),
                   v->rename("b", "n", false)})
    EXPECT_EQ(s.sysErr, EROFS);
  EXPECT_EQ(readAll(*v, "c").size(), 3000u);
  ASSERT_TRUE(v->close().ok());
  v.reset(), reader.reset();
  EXPECT_TRUE(slurp(image) == disk.bytes);
  Disk loops = disk;
  loops.link(1, 1);  // b's chain loops
  // What a repair would mend is refused, but for the blocks a crash leaks
  // (a draft's whole chain among them): new files would take the slots of
  // the entries tableEnd hides.
  Disk draft(16);
  three(draft), draft.file("x", {6, 7}, 5000), draft.put(8, static_cast<uint32_t>(draft.slot(3)));
  Disk torn = draft;  // a draft's entry whose chain is cut short: nothing to take back
  torn.put(torn.slot(3) + 4, 9000), torn.put(torn.slot(3) + 8, 816);
  std::fill_n(draft.bytes.begin() + draft.slot(3), 32, 0);
  for (auto [bytes, code] : {std::pair{loops.bytes, Error::Damaged},
                             {build("f_table_end_hides_files").bytes, Error::Damaged},
                             {build("f_hidden_entries_apart").bytes, Error::Damaged},
                             {build("f_spare_bits").bytes, Error::Damaged},
                             {build("two entries share a block").bytes, Error::Damaged},
                             {build("stored blocks marked free").bytes, Error::Damaged},
                             {build("f_leaked_blocks").bytes, Error::Ok},
                             {draft.bytes, Error::Ok},
                             {torn.bytes, Error::Ok}}) {
    v.reset(), spit(image, bytes);
    EXPECT_EQ(Volume::open(Env::host(), image.c_str(), &v).code, code);
  }
}

}  // namespace
}  // namespace korvane::test
