// Durations of whole nanoseconds and the conversion from float seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "util/result.h"

namespace vorel {

// Up to 2^64 seconds: far beyond what std::chrono's 64-bit nanoseconds hold.
struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // < 1e9

  friend bool operator==(const Duration&, const Duration&) = default;

  // Saturates at the largest nanosecond count a steady-clock duration holds,
  // so a huge time-out means "practically forever", never a negative or
  // wrapped wait.
  std::chrono::nanoseconds to_chrono_saturated() const;
};

// An internal failure: a broken invariant that Python input reached. It is
// raised as PanicException at the Python boundary.
struct InternalFailure {
  std::string text;
};

inline constexpr const char* kDurationNegative =
    "cannot convert float seconds to Duration: value is negative";
inline constexpr const char* kDurationTooBig =
    "cannot convert float seconds to Duration: value is either too big or NaN";

// Seconds to the nearest whole nanosecond, ties to even. Negative zero and
// values under half a nanosecond give zero.
Result<Duration, InternalFailure> duration_from_secs(double seconds);

// A deadline on the steady clock that never overflows.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     const Duration& d);

}  // namespace vorel
