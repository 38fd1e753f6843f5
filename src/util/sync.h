// The building blocks of the state records shared by a capture object and
// its workers: a value behind a lock of its own, and a milestone flag that
// wakes every waiter when it is reached.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "util/duration.h"

namespace vorel {

template <class T>
class Guarded {
 public:
  explicit Guarded(T initial = T()) : value_(std::move(initial)) {}
  T get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

class Milestone {
 public:
  // Sets the flag and wakes all waiters while the lock is held.
  void reach() {
    std::lock_guard<std::mutex> lock(mutex_);
    reached_ = true;
    cv_.notify_all();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    reached_ = false;
  }
  bool reached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reached_;
  }
  // Waits until the flag is set or `timeout` has passed since the call began;
  // early and spurious wake-ups wait again for the time left only. Returns
  // the flag. Waits are cut into slices so that a huge time-out never
  // overflows a platform wait.
  bool wait(const Duration& timeout) {
    const auto deadline = deadline_after(std::chrono::steady_clock::now(), timeout);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!reached_) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) break;
      const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                        std::chrono::hours(1));
      cv_.wait_for(lock, slice);
    }
    return reached_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool reached_ = false;
};

}  // namespace vorel
