// The monotonic clock and the sleep that workers pace themselves with; tests
// substitute a fake, the platform layer gives the real one (system_clock.h).
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

}  // namespace vorel
