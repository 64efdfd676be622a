// Numeric helpers whose results must equal what Python and NumPy compute, bit for bit.
// Build with -ffp-contract=off: a contracted multiply-add changes last bits.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessaryn::numeric {

namespace detail {

__extension__ typedef unsigned __int128 u128;

// NumPy orders NaN after every number; otherwise the plain order.
template <class T>
bool nan_last_less(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    return a < b || (b != b && a == a);
  } else {
    return a < b;
  }
}

template <class T>
bool any_nan(std::span<const T> values) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::any_of(values.begin(), values.end(), [](T v) { return v != v; });
  } else {
    return false;
  }
}

// Eight interleaved running sums over blocks of at most 128, halves above that. The split point
// stays a multiple of 8, and the eight sums are combined as a tree, exactly as NumPy does.
template <class T>
T pairwise_sum(const T* a, std::size_t n, std::ptrdiff_t stride) {
  const auto at = [&](std::size_t i) { return a[static_cast<std::ptrdiff_t>(i) * stride]; };
  if (n < 8) {
    T res = 0;
    for (std::size_t i = 0; i < n; ++i) {
      res += at(i);
    }
    return res;
  }
  if (n <= 128) {
    T r[8];
    for (std::size_t j = 0; j < 8; ++j) {
      r[j] = at(j);
    }
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) {
        r[j] += at(i + j);
      }
    }
    T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) {
      res += at(i);
    }
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2, stride) +
         pairwise_sum(a + static_cast<std::ptrdiff_t>(n2) * stride, n - n2, stride);
}

// NumPy's reduction hands the inner loop at most 8192 elements (its buffer size) at a time, even
// when nothing needs buffering, and adds each block's pairwise sum to the result, which starts
// from the identity 0 (so a sum of -0.0 is +0.0). A negative stride is walked in logical order.
constexpr std::size_t kReduceBlock = 8192;

template <class T>
T reduce_add(const T* a, std::size_t n, std::ptrdiff_t stride) {
  T total = 0;
  for (std::size_t start = 0; start < n; start += kReduceBlock) {
    const std::size_t len = std::min(kReduceBlock, n - start);
    total += pairwise_sum(a + static_cast<std::ptrdiff_t>(start) * stride, len, stride);
  }
  return total;
}

// The correlate loop of NumPy: each output is one dot product over the overlap, taken by the BLAS
// dot. The reference BLAS that NumPy loads on Debian accumulates in the element type from zero, in
// index order; an optimised BLAS in its place would change the last bits.
template <class T>
std::vector<T> convolve_same(const T* a, std::size_t n, const T* v, std::size_t m) {
  if (n == 0 || m == 0) {
    return {};
  }
  if (m > n) {
    std::swap(a, v);
    std::swap(n, m);
  }
  const std::size_t left = m / 2;
  std::vector<T> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j0 = i < left ? left - i : 0;
    const std::size_t j1 = std::min(m, n + left - i);
    T acc = 0;
    for (std::size_t j = j0; j < j1; ++j) {
      acc += a[i + j - left] * v[m - 1 - j];
    }
    out[i] = acc;
  }
  return out;
}

// np.percentile reads the two neighbours, subtracts them in the element type and interpolates in
// double (a float32 or uint8 input gives a float64 result), from the upper one when t >= 0.5.
template <class T>
double percentile_linear(std::span<const T> values, double q) {
  const std::size_t n = values.size();
  if (n == 0 || any_nan(values)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double index = static_cast<double>(n - 1) * (q / 100.0);
  std::size_t lo = n - 1;
  std::size_t hi = n - 1;
  double t = index + 1.0;  // past the end NumPy indexes -1, and its weight is index - (-1)
  if (index < static_cast<double>(n - 1)) {
    const double whole = std::floor(index);
    lo = static_cast<std::size_t>(whole);
    hi = lo + 1;
    t = index - whole;
  }
  std::vector<T> v(values.begin(), values.end());
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(lo), v.end());
  const T a = v[lo];
  const T b = hi == lo ? a : *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(hi), v.end());
  const auto diff = static_cast<double>(static_cast<T>(b - a));
  return t >= 0.5 ? static_cast<double>(b) - diff * (1.0 - t) : static_cast<double>(a) + diff * t;
}

}  // namespace detail

// Python's round(x): nearest whole number, halves to the even neighbour (2.5 -> 2, -0.5 -> -0).
inline double round_half_even(double x) { return std::nearbyint(x); }

// Python's round(x, ndigits) for 0 <= ndigits <= 21: the double nearest to the exact binary value
// of x rounded half-even to a multiple of 10^-ndigits. The rounding is done on the exact product
// m * 10^n of x's integer mantissa in 128 bits, since any rounded product can land on a false half.
inline double round_decimals(double x, int ndigits) {
  using detail::u128;
  if (!std::isfinite(x) || x == 0.0) {
    return x;
  }
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(x), &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;  // |x| == mantissa / 2^shift
  if (shift <= 0) {
    return x;  // already whole
  }
  u128 power = 1;
  for (int i = 0; i < ndigits; ++i) {
    power *= 10;
  }
  const u128 scaled = static_cast<u128>(mantissa) * power;  // |x| * 10^n * 2^shift, below 2^123
  u128 whole = 0;  // a shift of 127 or more leaves less than a half
  if (shift < 127) {
    whole = scaled >> shift;
    const u128 rest = scaled - (whole << shift);
    const u128 half = static_cast<u128>(1) << (shift - 1);
    if (rest > half || (rest == half && (whole & 1) != 0)) {
      ++whole;
    }
  }
  if (whole >= (static_cast<u128>(1) << 53)) {
    // That needs m * 10^n >= (2^53 - 1/2) * 2^shift with m < 2^53, so 10^n > 2^shift: a step of
    // 10^-n is below an ulp of x, the rounded decimal lies within half an ulp of x, and x is it.
    return x;
  }
  // One correctly rounded division of two exact values (10^n is exact up to 10^22).
  return std::copysign(static_cast<double>(whole) / static_cast<double>(power), x);
}

// a.sum() of a 1-D float32 array, and of a whole C-contiguous 2-D array, which NumPy reduces as
// one flat run. For a strided view, a points at its first element (the last in memory when the
// stride is negative) and the sum follows the view's order, as NumPy's does.
inline float sum_pairwise_f32(const float* a, std::size_t n, std::ptrdiff_t stride_in_elements = 1) {
  return detail::reduce_add(a, n, stride_in_elements);
}

inline double sum_pairwise_f64(const double* a, std::size_t n, std::ptrdiff_t stride_in_elements = 1) {
  return detail::reduce_add(a, n, stride_in_elements);
}

// a.sum(axis=1) of a row-major rows x cols float32 array: one pairwise sum per row.
inline std::vector<float> sum_rows_f32(const float* a, std::size_t rows, std::size_t cols) {
  std::vector<float> out(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    out[r] = sum_pairwise_f32(a + r * cols, cols);
  }
  return out;
}

// a.sum(axis=0): NumPy adds whole rows into the result one after another, so each column is a
// plain running sum; a single column is contiguous and so summed pairwise.
inline std::vector<float> sum_cols_f32(const float* a, std::size_t rows, std::size_t cols) {
  if (cols == 1) {
    return {sum_pairwise_f32(a, rows)};
  }
  std::vector<float> out(cols, 0.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      out[c] += a[r * cols + c];
    }
  }
  return out;
}

// np.mean of float32: the float32 sum divided by the count in double, then rounded to float32.
inline float mean_f32(const float* a, std::size_t n) {
  return static_cast<float>(static_cast<double>(sum_pairwise_f32(a, n)) / static_cast<double>(n));
}

inline double mean_f64(const double* a, std::size_t n) {
  return sum_pairwise_f64(a, n) / static_cast<double>(n);
}

// np.mean of integers (uint8 included) as float64: NumPy casts them block by block and reduces
// the blocks as it reduces a float64 array.
template <std::integral T>
double mean_integer(const T* a, std::size_t n) {
  std::vector<double> block(std::min(n, detail::kReduceBlock));
  double total = 0.0;
  for (std::size_t start = 0; start < n; start += block.size()) {
    const std::size_t len = std::min(block.size(), n - start);
    std::copy(a + start, a + start + len, block.begin());
    total += detail::pairwise_sum(block.data(), len, 1);
  }
  return total / static_cast<double>(n);
}

// np.percentile(values, q) with the default 'linear' method, 0 <= q <= 100; NaN when the values
// hold a NaN (and for no values, where NumPy raises). float32 and uint8 give NumPy's float64 result.
inline double percentile_linear(std::span<const double> values, double q) {
  return detail::percentile_linear(values, q);
}
inline double percentile_linear(std::span<const float> values, double q) {
  return detail::percentile_linear(values, q);
}
inline double percentile_linear(std::span<const std::uint8_t> values, double q) {
  // The same neighbours found by counting: bytes have only 256 values, and a histogram costs
  // less than a partial sort of a separator window's pixels.
  const std::size_t n = values.size();
  if (n == 0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::array<std::size_t, 256> counts{};
  for (const std::uint8_t v : values) {
    ++counts[v];
  }
  const auto kth = [&counts](std::size_t k) {  // the k-th smallest, 0-based
    std::size_t seen = 0;
    for (std::size_t v = 0; v < counts.size(); ++v) {
      seen += counts[v];
      if (seen > k) {
        return static_cast<std::uint8_t>(v);
      }
    }
    return static_cast<std::uint8_t>(255);
  };
  const double index = static_cast<double>(n - 1) * (q / 100.0);
  std::size_t lo = n - 1;
  std::size_t hi = n - 1;
  double t = index + 1.0;
  if (index < static_cast<double>(n - 1)) {
    const double whole = std::floor(index);
    lo = static_cast<std::size_t>(whole);
    hi = lo + 1;
    t = index - whole;
  }
  const std::uint8_t a = kth(lo);
  const std::uint8_t b = hi == lo ? a : kth(hi);
  const auto diff = static_cast<double>(static_cast<std::uint8_t>(b - a));
  return t >= 0.5 ? static_cast<double>(b) - diff * (1.0 - t) : static_cast<double>(a) + diff * t;
}

// np.convolve(a, v, mode="same"): max(n, m) values centred as NumPy centres them; empty when
// either input is (NumPy raises).
inline std::vector<float> convolve_same(const float* a, std::size_t n, const float* v, std::size_t m) {
  return detail::convolve_same(a, n, v, m);
}
inline std::vector<double> convolve_same(const double* a, std::size_t n, const double* v, std::size_t m) {
  return detail::convolve_same(a, n, v, m);
}

// np.argsort(a, kind="stable"): equal keys keep their order, NaN goes last.
template <class T>
std::vector<std::size_t> argsort_stable(std::span<const T> a) {
  std::vector<std::size_t> order(a.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t i, std::size_t j) { return detail::nan_last_less(a[i], a[j]); });
  return order;
}

// np.searchsorted(sorted, value, side="left") over values sorted as NumPy sorts them (NaN last).
template <class T>
std::size_t searchsorted_left(std::span<const T> sorted, T value) {
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), value, detail::nan_last_less<T>);
  return static_cast<std::size_t>(it - sorted.begin());
}

// np.cumsum of float32: a running float32 sum that starts from the first element, not from zero.
inline std::vector<float> cumsum_f32(const float* a, std::size_t n) {
  std::vector<float> out(n);
  float acc = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    acc = i == 0 ? a[0] : acc + a[i];
    out[i] = acc;
  }
  return out;
}

// np.clip(x, lo, hi) is min(max(x, lo), hi) with NaN in any of the three giving NaN; the bound
// wins a tie, which decides between -0.0 and 0.0.
inline double clip(double x, double lo, double hi) {
  const double raised = std::isnan(x) ? x : (x > lo ? x : lo);
  return std::isnan(raised) ? raised : (raised < hi ? raised : hi);
}

}  // namespace tessaryn::numeric
