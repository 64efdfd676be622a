// Test-only bindings of common/numeric.hpp, so that Python can hold each helper against NumPy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "common/numeric.hpp"

namespace py = pybind11;
namespace num = tessaryn::numeric;

namespace {

// Only exact dtypes and C order: a silent cast would hide the very bits under test.
template <class T>
using In = py::array_t<T, py::array::c_style>;

template <class T>
std::span<const T> view(const In<T>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

template <class T>
py::array_t<T> to_array(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

template <class T, class F>
py::array_t<T> map(const In<T>& a, F f) {
  std::vector<T> out(static_cast<std::size_t>(a.size()));
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = f(a.data()[i], i);
  }
  return to_array(out);
}

// The n elements base[start], base[start + stride], ... of a contiguous buffer, checked in range.
template <class T>
T strided_sum(const In<T>& base, py::ssize_t start, std::size_t n, std::ptrdiff_t stride) {
  const auto last = start + static_cast<py::ssize_t>(n == 0 ? 0 : n - 1) * stride;
  if (n > 0 && (start < 0 || start >= base.size() || last < 0 || last >= base.size())) {
    throw std::out_of_range("strided view leaves the buffer");
  }
  const T* p = base.data() + start;
  if constexpr (std::is_same_v<T, float>) {
    return num::sum_pairwise_f32(p, n, stride);
  } else {
    return num::sum_pairwise_f64(p, n, stride);
  }
}

std::pair<std::size_t, std::size_t> shape2(const In<float>& a) {
  if (a.ndim() != 2) {
    throw std::invalid_argument("expected a 2-D array");
  }
  return {static_cast<std::size_t>(a.shape(0)), static_cast<std::size_t>(a.shape(1))};
}

template <class T>
py::array_t<std::intptr_t> argsort(const In<T>& a) {
  const auto order = num::argsort_stable(view(a));
  return to_array(std::vector<std::intptr_t>(order.begin(), order.end()));
}

template <class T>
py::array_t<std::intptr_t> searchsorted(const In<T>& sorted, const In<T>& keys) {
  std::vector<std::intptr_t> out;
  for (const T key : view(keys)) {
    out.push_back(static_cast<std::intptr_t>(num::searchsorted_left(view(sorted), key)));
  }
  return to_array(out);
}

}  // namespace

PYBIND11_MODULE(tessaryn_numeric_probe, m) {
  m.def("round_half_even", [](const In<double>& x) {
    return map(x, [](double v, std::size_t) { return num::round_half_even(v); });
  });
  m.def("round_decimals", [](const In<double>& x, const In<std::int32_t>& ndigits) {
    if (ndigits.size() != x.size()) {
      throw std::invalid_argument("one ndigits per value");
    }
    return map(x, [&](double v, std::size_t i) { return num::round_decimals(v, ndigits.data()[i]); });
  });

  m.def("sum_f32", [](const In<float>& a) { return num::sum_pairwise_f32(a.data(), a.size()); });
  m.def("sum_f64", [](const In<double>& a) { return num::sum_pairwise_f64(a.data(), a.size()); });
  m.def("sum_f32_strided", &strided_sum<float>);
  m.def("sum_f64_strided", &strided_sum<double>);
  m.def("sum_rows_f32", [](const In<float>& a) {
    const auto [rows, cols] = shape2(a);
    return to_array(num::sum_rows_f32(a.data(), rows, cols));
  });
  m.def("sum_cols_f32", [](const In<float>& a) {
    const auto [rows, cols] = shape2(a);
    return to_array(num::sum_cols_f32(a.data(), rows, cols));
  });

  m.def("mean_f32", [](const In<float>& a) { return num::mean_f32(a.data(), a.size()); });
  m.def("mean_f64", [](const In<double>& a) { return num::mean_f64(a.data(), a.size()); });
  m.def("mean_u8", [](const In<std::uint8_t>& a) { return num::mean_integer(a.data(), a.size()); });
  m.def("mean_i64", [](const In<std::int64_t>& a) { return num::mean_integer(a.data(), a.size()); });

  m.def("percentile_f64", [](const In<double>& a, double q) { return num::percentile_linear(view(a), q); });
  m.def("percentile_f32", [](const In<float>& a, double q) { return num::percentile_linear(view(a), q); });
  m.def("percentile_u8",
        [](const In<std::uint8_t>& a, double q) { return num::percentile_linear(view(a), q); });

  m.def("convolve_same_f32", [](const In<float>& a, const In<float>& v) {
    return to_array(num::convolve_same(a.data(), a.size(), v.data(), v.size()));
  });
  m.def("convolve_same_f64", [](const In<double>& a, const In<double>& v) {
    return to_array(num::convolve_same(a.data(), a.size(), v.data(), v.size()));
  });

  m.def("argsort_stable_f64", &argsort<double>);
  m.def("argsort_stable_f32", &argsort<float>);
  m.def("argsort_stable_i64", &argsort<std::int64_t>);
  m.def("searchsorted_left_f64", &searchsorted<double>);
  m.def("searchsorted_left_i64", &searchsorted<std::int64_t>);

  m.def("cumsum_f32", [](const In<float>& a) { return to_array(num::cumsum_f32(a.data(), a.size())); });
  m.def("clip", [](const In<double>& x, const In<double>& lo, const In<double>& hi) {
    if (lo.size() != x.size() || hi.size() != x.size()) {
      throw std::invalid_argument("one bound pair per value");
    }
    return map(x, [&](double v, std::size_t i) { return num::clip(v, lo.data()[i], hi.data()[i]); });
  });
}
