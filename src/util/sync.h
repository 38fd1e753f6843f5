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

// The clock and the condition wait under a milestone: the steady clock and
// the condition variable's own timed wait. Tests put a scripted clock and
// scripted wake-ups in their place; the template costs nothing at run time.
struct SteadyWaiting {
  using TimePoint = std::chrono::steady_clock::time_point;
  static TimePoint now() { return std::chrono::steady_clock::now(); }
  // Waits at most `slice`; may return earlier for any reason.
  static void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::chrono::steady_clock::duration slice) {
    cv.wait_for(lock, slice);
  }
};

template <class Waiting>
class BasicMilestone {
 public:
  BasicMilestone() = default;
  explicit BasicMilestone(Waiting waiting) : waiting_(std::move(waiting)) {}

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
    const auto deadline = deadline_after(waiting_.now(), timeout);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!reached_) {
      const auto now = waiting_.now();
      if (now >= deadline) break;
      const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                        kLongestSlice);
      waiting_.wait(cv_, lock, slice);
    }
    return reached_;
  }

  // The longest single wait handed to the platform.
  static constexpr std::chrono::steady_clock::duration kLongestSlice = std::chrono::hours(1);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool reached_ = false;
  Waiting waiting_;
};

// A flag that wakes every waiter when it is reached.
using Milestone = BasicMilestone<SteadyWaiting>;

}  // namespace vorel
