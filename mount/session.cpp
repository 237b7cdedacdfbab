#include "mount/session.h"

#include <system_error>
#include <utility>

namespace korvane {

Session::Session(std::unique_ptr<Volume> volume, std::chrono::milliseconds period,
                 std::function<void(const Status&)> commitFailed)
    : volume_(std::move(volume)), period_(period), commitFailed_(std::move(commitFailed)) {}

// The volume's own destructor closes it without a commit: a session that
// was never stopped changes nothing more.
Session::~Session() { stopWorker(); }

Status Session::start() {
  try {
    worker_ = std::thread(&Session::work, this);
  } catch (const std::system_error& e) {
    return Status::fail(Error::IoError, e.code().value());
  }
  return {};
}

std::unique_lock<std::mutex> Session::hold() {
  std::unique_lock<std::mutex> held(busy_);
  changed_.wait(held, [&] { return !handing_; });
  return held;
}

// Bytes that do not stay go with the request they came in, before the
// worker gets to them: hence the copy.
Status Session::store(std::string_view name, uint64_t at, const char* data, size_t len,
                      bool stay) {
  if (len < HandOverBytes || !worker_.joinable()) return volume_->write(name, at, data, len);
  handed_.name = name;
  handed_.at = at;
  handed_.len = len;
  if (!stay) handed_.bytes.assign(data, data + len);
  handed_.data = stay ? data : handed_.bytes.data();
  handing_ = true;
  changed_.notify_all();
  return {};
}

void Session::awaitUnread(const void* from, size_t size) {
  auto lo = static_cast<const char*>(from);
  std::unique_lock<std::mutex> held(busy_);
  changed_.wait(held, [&] {
    return !handing_ || handed_.data + handed_.len <= lo || handed_.data >= lo + size;
  });
}

Status Session::told(std::string_view name) {
  auto it = failed_.find(name);
  if (it == failed_.end()) return {};
  Status late = it->second;
  failed_.erase(it);
  return late;
}

void Session::renamed(std::string_view from, std::optional<std::string_view> to) {
  Status late = told(from);
  if (!to) return;
  (void)told(*to);
  if (!late.ok()) failed_[std::string(*to)] = late;
}

Status Session::rename(std::string_view from, std::string_view to, bool noReplace) {
  Status s = volume_->rename(from, to, noReplace);
  if (s.ok() && from != to) renamed(from, to);
  return s;
}

Status Session::remove(std::string_view name) {
  Status s = volume_->remove(name);
  if (s.ok()) renamed(name, std::nullopt);
  return s;
}

void Session::commitSoon() {
  std::unique_lock<std::mutex> held(busy_);
  if (!worker_.joinable()) return;
  soon_ = true;
  changed_.notify_all();
  changed_.wait(held, [&] { return !soon_; });
}

Status Session::stop() {
  stopWorker();
  return volume_->close();
}

void Session::stopWorker() {
  {
    std::lock_guard<std::mutex> held(busy_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

// The worker: stores each write handed over, and commits the new files
// closed every period, until stopped. Callers wait on it, so it waits on
// nothing of theirs but the volume.
void Session::work() {
  std::unique_lock<std::mutex> held(busy_);
  for (auto next = Clock::now() + period_;;) {
    changed_.wait_until(held, next, [&] { return handing_ || soon_ || stopping_; });
    if (handing_) storeHanded();
    if (soon_ || Clock::now() >= next) {
      next = Clock::now() + period_;
      commitQueued();
    }
    if (stopping_) return;
  }
}

void Session::storeHanded() {
  const Write& w = handed_;
  if (Status s = volume_->write(w.name, w.at, w.data, w.len); !s.ok())
    failed_[w.name] = s;
  handing_ = false;
  changed_.notify_all();
}

void Session::commitQueued() {
  if (volume_->pending())
    if (Status s = volume_->commitQueued(); !s.ok()) commitFailed_(s);
  soon_ = false;
  changed_.notify_all();
}

}  // namespace korvane
