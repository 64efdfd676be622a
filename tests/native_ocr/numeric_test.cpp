// Fixed cases with known answers; tests/python/test_numeric.py compares against NumPy at large.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/numeric.hpp"

namespace num = tessaryn::numeric;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::signbit(a) == std::signbit(b) && (a == b || (a != a && b != b)); }

TEST(RoundDecimals, MatchesPythonRound) {
  struct Case {
    double x;
    int ndigits;
    double want;
  };
  const Case cases[] = {
      {0.0625, 3, 0.062},  // an exact tie goes to even
      {2.675, 2, 2.67},    // stored just below the half
      {0.0005, 3, 0.001},  // stored just above the half
      {1.0005, 3, 1.0},
      {0.5, 0, 0.0},
      {1.5, 0, 2.0},
      {2.5, 0, 2.0},
      {-0.5, 0, -0.0},
      {-0.0004, 3, -0.0},
      {5e-324, 6, 0.0},
      {1e16, 2, 1e16},
      // Steps of 10^-6 are about an ulp here: Python moves to a neighbour of x.
      {0x1.4fd42fa03fcd7p+32, 6, 0x1.4fd42fa03fcd6p+32},
      {0x1.aeebe40311ab0p+32, 6, 0x1.aeebe40311ab1p+32},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_bits(num::round_decimals(c.x, c.ndigits), c.want))
        << c.x << " to " << c.ndigits << " gave " << num::round_decimals(c.x, c.ndigits);
  }
}

TEST(SumPairwise, DiffersFromARunningSum) {
  // A running sum loses every 1 against 2^24; the eight partial sums keep them.
  std::vector<float> a(17, 1.0f);
  a[0] = 16777216.0f;
  EXPECT_EQ(num::sum_pairwise_f32(a.data(), a.size()), 16777232.0f);
  // Down a column of a two-column array NumPy keeps a running sum.
  std::vector<float> two(2 * a.size(), 0.5f);
  for (std::size_t r = 0; r < a.size(); ++r) {
    two[2 * r] = a[r];
  }
  EXPECT_EQ(num::sum_cols_f32(two.data(), a.size(), 2), (std::vector<float>{16777216.0f, 8.5f}));
  const float negative_zero = -0.0f;
  EXPECT_FALSE(std::signbit(num::sum_pairwise_f32(&negative_zero, 1)));
  EXPECT_EQ(num::sum_pairwise_f32(nullptr, 0), 0.0f);
}

TEST(Percentile, InterpolatesLinearly) {
  const std::vector<double> d{4.0, 1.0, 3.0, 2.0};
  EXPECT_EQ(num::percentile_linear(std::span<const double>(d), 50.0), 2.5);
  EXPECT_EQ(num::percentile_linear(std::span<const double>(d), 100.0), 4.0);
  EXPECT_EQ(num::percentile_linear(std::span<const double>(d), 0.0), 1.0);
  const std::vector<std::uint8_t> u{255, 0};
  EXPECT_EQ(num::percentile_linear(std::span<const std::uint8_t>(u), 10.0), 25.5);
  const std::vector<float> f{1.0f, static_cast<float>(kNan)};
  EXPECT_TRUE(std::isnan(num::percentile_linear(std::span<const float>(f), 10.0)));
}

TEST(ConvolveSame, CentresTheFullResult) {
  const std::vector<double> a{1.0, 2.0, 3.0};
  const std::vector<double> v{0.0, 1.0, 0.5};
  EXPECT_EQ(num::convolve_same(a.data(), a.size(), v.data(), v.size()), (std::vector<double>{1.0, 2.5, 4.0}));
  // The shorter input acts as the kernel, whichever side it is on.
  EXPECT_EQ(num::convolve_same(v.data(), v.size(), a.data(), a.size()), (std::vector<double>{1.0, 2.5, 4.0}));
}

TEST(ArgsortStable, KeepsTiesInOrderAndNanLast) {
  const std::vector<double> a{3.0, 1.0, kNan, 1.0, -0.0, 0.0, kNan};
  EXPECT_EQ(num::argsort_stable(std::span<const double>(a)), (std::vector<std::size_t>{4, 5, 1, 3, 0, 2, 6}));
  const std::vector<double> sorted{-0.0, 0.0, 1.0, 1.0, 3.0, kNan};
  const std::span<const double> s(sorted);
  EXPECT_EQ(num::searchsorted_left(s, 0.0), 0u);
  EXPECT_EQ(num::searchsorted_left(s, 1.0), 2u);
  EXPECT_EQ(num::searchsorted_left(s, 2.0), 4u);
  EXPECT_EQ(num::searchsorted_left(s, kNan), 5u);
}

TEST(Clip, PropagatesNanAndLetsTheBoundWinTies) {
  struct Case {
    double x, lo, hi, want;
  };
  const Case cases[] = {
      {kNan, 0.0, 1.0, kNan}, {0.5, kNan, 1.0, kNan}, {0.5, 0.0, kNan, kNan},
      {-0.0, 0.0, 1.0, 0.0},  {0.0, -0.0, 1.0, -0.0}, {5.0, 3.0, 2.0, 2.0},
      {-1.0, 0.0, 1.0, 0.0},  {0.25, 0.0, 1.0, 0.25},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_bits(num::clip(c.x, c.lo, c.hi), c.want)) << c.x << " in [" << c.lo << ", " << c.hi << "]";
  }
}

TEST(Cumsum, StartsFromTheFirstElement) {
  const std::vector<float> a{-0.0f, 1e8f, 1.0f, -1e8f};
  const std::vector<float> got = num::cumsum_f32(a.data(), a.size());
  EXPECT_TRUE(std::signbit(got[0]));
  EXPECT_EQ(got, (std::vector<float>{-0.0f, 1e8f, 1e8f, 0.0f}));
}

}  // namespace
