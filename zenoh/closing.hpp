#pragma once
// Sessions whose close outlives the call that closed them. zenoh's close waits for its peers
// (on a dead link up to its own timeout of 10 s), so a closing thread waits only so long and
// lets the close finish on a thread of its own. Such closes are the process's, not any
// caller's: at exit, it waits a bounded time for them, and one still running then keeps
// its session (reachable from here, never half freed) while the process ends around it.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace zenoh::inline kq::detail {

template <class Handle>
class Closing {
 public:
  using Fn = void (*)(Handle*);

  // Closes `handle` with `close`, then frees it with `free`, waiting at most `wait` here.
  // `exit_wait` bounds how long process exit waits for the closes still running.
  static void Run(Handle* handle, Fn close, Fn free, std::chrono::milliseconds wait,
                  std::chrono::milliseconds exit_wait) noexcept {
    Closing& c = Instance(exit_wait);
    std::unique_lock lock(c.mutex_);
    c.running_.push_back(handle);
    try {
      std::thread([&c, handle, close, free] { c.Finish(handle, close, free); }).detach();
    } catch (...) {
      lock.unlock();
      c.Finish(handle, close, free);  // no thread to be had: close here, however long it takes
      return;
    }
    c.changed_.wait_for(lock, wait, [&] { return !c.Running(handle); });
  }

 private:
  // Never destroyed: closing threads may still use it while the process exits.
  static Closing& Instance(std::chrono::milliseconds exit_wait) {
    static Closing* instance = [exit_wait] {
      auto* c = new Closing(exit_wait);
      std::atexit([] { Instance({}).AtExit(); });
      return c;
    }();
    return *instance;
  }

  explicit Closing(std::chrono::milliseconds exit_wait) : exit_wait_(exit_wait) {}

  bool Running(Handle* handle) const {
    return std::find(running_.begin(), running_.end(), handle) != running_.end();
  }

  void Finish(Handle* handle, Fn close, Fn free) noexcept {
    close(handle);
    std::unique_lock lock(mutex_);
    if (exiting_) {
      // Freeing now could leave the session half freed when the process ends: it stays.
      std::erase(running_, handle);
      kept_.push_back(handle);
      changed_.notify_all();
      return;
    }
    ++freeing_;
    lock.unlock();
    free(handle);
    lock.lock();
    --freeing_;
    std::erase(running_, handle);
    changed_.notify_all();
  }

  void AtExit() noexcept {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, exit_wait_, [&] { return running_.empty(); });
    exiting_ = true;
    // A free already under way is quick (no network): it ends before the process does.
    changed_.wait(lock, [&] { return freeing_ == 0; });
  }

  const std::chrono::milliseconds exit_wait_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Handle*> running_;  // closes not yet finished
  std::vector<Handle*> kept_;     // closed after the process began to exit: never freed
  std::size_t freeing_ = 0;
  bool exiting_ = false;
};

}  // namespace zenoh::inline kq::detail
