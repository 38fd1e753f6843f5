// The monotonic clock and the sleep that workers pace themselves with; tests
// substitute a fake.
#pragma once

#include <chrono>

namespace vorel {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual time_point now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

// The steady clock and the platform's high-resolution sleep.
Clock& system_clock();

}  // namespace vorel
