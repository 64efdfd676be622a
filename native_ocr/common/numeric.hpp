// Numeric helpers whose results must equal what Python and NumPy compute, bit for bit.
// Build with -ffp-contract=off: a contracted multiply-add changes last bits.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>

namespace tessaryn::numeric {

// Python's round(x): nearest whole number, halves to the even neighbour (2.5 -> 2, -0.5 -> -0).
inline double round_half_even(double x) { return std::nearbyint(x); }

// Python's round(x, ndigits) for 0 <= ndigits <= 15: the double nearest to the exact binary value
// of x rounded to a multiple of 10^-ndigits, ties to even. Not floor(x * 10^n + 0.5): the product
// x * 10^n is itself rounded, so its exact error decides the cases that land on a half.
inline double round_decimals(double x, int ndigits) {
  if (!std::isfinite(x) || x == 0.0) {
    return x;
  }
  double scale = 1.0;
  for (int i = 0; i < ndigits; ++i) {
    scale *= 10.0;  // exact up to 10^22
  }
  const double product = x * scale;
  if (!std::isfinite(product) || std::fabs(product) >= 4503599627370496.0) {  // 2^52: already whole
    return x;
  }
  const double error = std::fma(x, scale, -product);  // x * scale == product + error exactly
  double whole = std::floor(product);
  const double fraction = product - whole;  // exact below 2^52
  if (fraction > 0.5 || (fraction == 0.5 && error > 0.0)) {
    whole += 1.0;
  } else if (fraction == 0.5 && error == 0.0 && std::fmod(whole, 2.0) != 0.0) {
    whole += 1.0;  // an exact tie goes to the even neighbour
  }
  // Division of two exactly representable values is correctly rounded: the double nearest whole/10^n.
  return std::copysign(whole / scale, x);
}

}  // namespace tessaryn::numeric
