// A mounted volume's session: the volume, used by one caller at a time,
// and a worker beside the callers that stores a large write handed over
// while the next request is read, and commits the new files closed every
// period. It knows nothing of FUSE and prints nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mount/volume.h"

namespace korvane {

class Session {
 public:
  // Writes at least this long may be handed over (see store); a smaller
  // one costs less to store than to hand over.
  static constexpr size_t HandOverBytes = 64 * 1024;

  // Takes the volume. The worker commits the new files closed every
  // `period`; a commit it fails goes to `commitFailed`, on the worker's
  // thread while it holds the volume (no program is there to be told), and
  // which must wait on no caller of the session.
  Session(std::unique_ptr<Volume> volume, std::chrono::milliseconds period,
          std::function<void(const Status&)> commitFailed);
  // Stops the worker; the volume is closed as its destructor closes it.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the worker: after a fork, since a thread does not outlive one.
  // IoError when no thread can be had: writes are then stored at once, and
  // new files closed wait for a group, an fsync or the unmount.
  Status start();

  // Holds the volume for the caller, once the write handed over (if any)
  // is stored; volume() is only for its holder, or for anyone once stopped.
  std::unique_lock<std::mutex> hold();
  Volume& volume() { return *volume_; }

  // Stores `len` bytes of `data` at `at` in `name`, the volume held, as
  // Volume::write. A write of HandOverBytes or more is handed to the
  // worker instead, and Ok returned: it is stored once the caller lets go
  // of the volume, and a failure is told by afterWrites(). Its bytes are
  // copied, unless they `stay` where they are until awaitUnread() says.
  Status store(std::string_view name, uint64_t at, const char* data, size_t len,
               bool stay = false);
  // Waits until no write handed over reads from [from, from + size), so
  // that the memory may take other bytes.
  void awaitUnread(const void* from, size_t size);
  // Runs `op` (returning a Status) on file `name`, the volume held; but
  // when a write of it handed over failed and its program has not yet
  // heard, that failure is told instead, once: to the file's next write,
  // flush or fsync, as a file system with a page cache tells it.
  template <class Op>
  Status afterWrites(std::string_view name, Op&& op) {
    Status late = told(name);
    return late.ok() ? op() : late;
  }
  // As Volume's, the volume held; a failure not yet told follows the file
  // to its new name, or is gone with it.
  Status rename(std::string_view from, std::string_view to, bool noReplace);
  Status remove(std::string_view name);

  // Makes the worker's commit of the new files closed now rather than at
  // the period's end, and waits for it: for a caller that cannot wait a
  // period for each step.
  void commitSoon();

  // Stops the worker, once the write handed over is stored, and closes the
  // volume: as Volume::close. Called once, after which nobody holds it.
  Status stop();

 private:
  using Clock = std::chrono::steady_clock;
  Status told(std::string_view name);
  void renamed(std::string_view from, std::optional<std::string_view> to);
  void stopWorker();
  void work();
  void storeHanded();
  void commitQueued();

  std::unique_ptr<Volume> volume_;
  std::chrono::milliseconds period_;
  std::function<void(const Status&)> commitFailed_;
  // Whoever holds `busy_` uses the volume, and a write handed over is
  // stored before anyone else uses it.
  std::mutex busy_;
  std::condition_variable changed_;
  struct Write {
    std::string name;
    uint64_t at = 0;
    const char* data = nullptr;  // the caller's bytes, or bytes' copy
    size_t len = 0;
    std::vector<char> bytes;  // kept for the next write, to spare allocations
  };
  Write handed_;
  bool handing_ = false;  // handed_ waits for the worker
  std::map<std::string, Status, std::less<>> failed_;  // of writes handed over, by file
  bool soon_ = false;  // a commit is asked for before the period ends
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace korvane
