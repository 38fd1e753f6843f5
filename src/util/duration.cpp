#include "util/duration.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vorel {
namespace {

// 64 x 64 -> 128-bit product as (high, low), portable to every compiler we
// build with (MSVC has no __int128).
struct U128 {
  uint64_t hi, lo;
};

U128 mul_64x64(uint64_t a, uint64_t b) {
  const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
  const uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const uint64_t p0 = a_lo * b_lo;
  const uint64_t p1 = a_lo * b_hi;
  const uint64_t p2 = a_hi * b_lo;
  const uint64_t p3 = a_hi * b_hi;
  const uint64_t mid = (p0 >> 32) + (p1 & 0xFFFFFFFFu) + (p2 & 0xFFFFFFFFu);
  return {p3 + (p1 >> 32) + (p2 >> 32) + (mid >> 32), (mid << 32) | (p0 & 0xFFFFFFFFu)};
}

// round(v / 2^k) with ties to even, for v < 2^96 and any k >= 1.
uint64_t shift_round_even(U128 v, unsigned k) {
  if (k >= 128) return 0;
  uint64_t q;
  bool above_half, exactly_half;
  // q = v >> k; rem = v mod 2^k, compared with 2^(k-1).
  if (k >= 64) {
    q = (k == 64) ? v.hi : (v.hi >> (k - 64));
    const unsigned rk = k - 64;  // remainder: hi's low rk bits, then all of lo
    const uint64_t rem_hi = rk == 0 ? 0 : (v.hi & ((uint64_t{1} << rk) - 1));
    const uint64_t half_hi = rk == 0 ? 0 : (uint64_t{1} << (rk - 1));
    if (rk == 0) {
      above_half = v.lo > (uint64_t{1} << 63);
      exactly_half = v.lo == (uint64_t{1} << 63);
    } else {
      above_half = rem_hi > half_hi || (rem_hi == half_hi && v.lo != 0);
      exactly_half = rem_hi == half_hi && v.lo == 0;
    }
  } else {
    q = (v.lo >> k) | (v.hi << (64 - k));
    const uint64_t rem = v.lo & ((uint64_t{1} << k) - 1);
    const uint64_t half = uint64_t{1} << (k - 1);
    above_half = rem > half;
    exactly_half = rem == half;
  }
  if (above_half || (exactly_half && (q & 1))) ++q;
  return q;
}

}  // namespace

std::chrono::nanoseconds Duration::to_chrono_saturated() const {
  using Rep = std::chrono::nanoseconds::rep;
  // A quarter of the range leaves room for adding it to any clock reading.
  constexpr Rep kMax = std::numeric_limits<Rep>::max() / 4;
  constexpr uint64_t kMaxSecs = static_cast<uint64_t>(kMax / 1'000'000'000);
  if (secs >= kMaxSecs) return std::chrono::nanoseconds(kMax);
  return std::chrono::nanoseconds(static_cast<Rep>(secs) * 1'000'000'000 + nanos);
}

Result<Duration, InternalFailure> duration_from_secs(double seconds) {
  if (std::isnan(seconds)) return Err(InternalFailure{kDurationTooBig});
  if (seconds < 0.0) return Err(InternalFailure{kDurationNegative});
  if (std::isinf(seconds) || seconds >= 18446744073709551616.0) {
    return Err(InternalFailure{kDurationTooBig});
  }
  uint64_t bits;
  std::memcpy(&bits, &seconds, sizeof bits);
  const int biased_exp = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mant = bits & ((uint64_t{1} << 52) - 1);
  int exp;  // value = mant * 2^exp
  if (biased_exp == 0) {
    exp = -1074;  // subnormal (or zero)
  } else {
    mant |= uint64_t{1} << 52;
    exp = biased_exp - 1075;
  }
  if (mant == 0) return Duration{};
  if (exp >= 0) {
    // An integer number of seconds below 2^64.
    return Duration{mant << exp, 0};
  }
  const unsigned k = static_cast<unsigned>(-exp);
  const uint64_t whole = k >= 64 ? 0 : (mant >> k);
  const uint64_t frac = k >= 64 ? mant : (mant & ((uint64_t{1} << k) - 1));
  uint64_t nanos = shift_round_even(mul_64x64(frac, 1'000'000'000), k);
  uint64_t secs = whole;
  if (nanos >= 1'000'000'000) {
    nanos -= 1'000'000'000;
    ++secs;  // cannot wrap: a value with a fraction is below 2^53
  }
  return Duration{secs, static_cast<uint32_t>(nanos)};
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     const Duration& d) {
  using TP = std::chrono::steady_clock::time_point;
  const auto span = std::chrono::duration_cast<TP::duration>(d.to_chrono_saturated());
  if (start.time_since_epoch().count() > 0 && span > TP::max() - start) return TP::max();
  return start + span;
}

}  // namespace vorel
