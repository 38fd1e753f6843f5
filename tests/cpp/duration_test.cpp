#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "util/duration.h"

namespace vorel {
namespace {

Duration ok(double s) {
  auto r = duration_from_secs(s);
  EXPECT_TRUE(r.ok()) << s;
  return r.ok() ? r.value() : Duration{};
}

std::string failure(double s) {
  auto r = duration_from_secs(s);
  EXPECT_FALSE(r.ok()) << s;
  return r.ok() ? std::string() : r.error().text;
}

TEST(DurationFromSecs, WholeAndFractionalSeconds) {
  EXPECT_EQ(ok(0.0), (Duration{0, 0}));
  EXPECT_EQ(ok(-0.0), (Duration{0, 0}));
  EXPECT_EQ(ok(1.0), (Duration{1, 0}));
  EXPECT_EQ(ok(2.5), (Duration{2, 500000000}));
  EXPECT_EQ(ok(0.1), (Duration{0, 100000000}));
  EXPECT_EQ(ok(10.0), (Duration{10, 0}));
  EXPECT_EQ(ok(1.0 / 30.0), (Duration{0, 33333333}));
  EXPECT_EQ(ok(1.0 / 60.0), (Duration{0, 16666667}));
}

TEST(DurationFromSecs, NearestNanosecondTiesToEven) {
  // 2^-10 s is exactly 976562.5 ns, 3 * 2^-10 s exactly 2929687.5 ns.
  EXPECT_EQ(ok(std::ldexp(1.0, -10)), (Duration{0, 976562}));
  EXPECT_EQ(ok(3 * std::ldexp(1.0, -10)), (Duration{0, 2929688}));
  // 2^-30 s = 0.93 ns, 2^-31 s = 0.47 ns.
  EXPECT_EQ(ok(std::ldexp(1.0, -30)), (Duration{0, 1}));
  EXPECT_EQ(ok(std::ldexp(1.0, -31)), (Duration{0, 0}));
  EXPECT_EQ(ok(6e-10), (Duration{0, 1}));
  EXPECT_EQ(ok(1e-10), (Duration{0, 0}));
  EXPECT_EQ(ok(std::numeric_limits<double>::denorm_min()), (Duration{0, 0}));
  // Rounding up can carry into the seconds.
  EXPECT_EQ(ok(std::nextafter(1.0, 0.0)), (Duration{1, 0}));
  EXPECT_EQ(ok(0.9999999999), (Duration{1, 0}));
  EXPECT_EQ(ok(0.99999999949), (Duration{0, 999999999}));
}

TEST(DurationFromSecs, LargestValues) {
  const double below = std::nextafter(18446744073709551616.0, 0.0);
  EXPECT_EQ(ok(below), (Duration{18446744073709549568ull, 0}));
  EXPECT_EQ(ok(1e15), (Duration{1000000000000000ull, 0}));
  EXPECT_EQ(ok(4503599627370495.5), (Duration{4503599627370495ull, 500000000}));
}

TEST(DurationFromSecs, Failures) {
  EXPECT_EQ(failure(-1.0), kDurationNegative);
  EXPECT_EQ(failure(-1e-300), kDurationNegative);
  EXPECT_EQ(failure(-std::numeric_limits<double>::infinity()), kDurationNegative);
  EXPECT_EQ(failure(std::nan("")), kDurationTooBig);
  EXPECT_EQ(failure(std::numeric_limits<double>::infinity()), kDurationTooBig);
  EXPECT_EQ(failure(18446744073709551616.0), kDurationTooBig);
  EXPECT_EQ(failure(1e300), kDurationTooBig);
}

TEST(DurationDeadline, HugeDurationsMeanPracticallyForever) {
  const auto now = std::chrono::steady_clock::now();
  for (double s : {1e15, 1e18, 1.8e19}) {
    const auto deadline = deadline_after(now, ok(s));
    EXPECT_GT(deadline - now, std::chrono::hours(24 * 365 * 50)) << s;
  }
  EXPECT_EQ(deadline_after(now, ok(0.25)) - now, std::chrono::milliseconds(250));
  EXPECT_EQ(ok(1.5).to_chrono_saturated(), std::chrono::nanoseconds(1500000000));
}

}  // namespace
}  // namespace vorel
