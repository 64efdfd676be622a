#include "panelsight/core/separator/groups.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace tessaryn::panelsight::separator {

std::vector<Run> runs(std::span<const int8_t> bits) {
  std::vector<int64_t> starts;
  std::vector<int64_t> ends;
  int8_t previous = 0;
  for (size_t i = 0; i <= bits.size(); ++i) {
    const int8_t current = i < bits.size() ? bits[i] : 0;
    const auto step = static_cast<int8_t>(static_cast<uint8_t>(current) - static_cast<uint8_t>(previous));
    if (step == 1) {
      starts.push_back(static_cast<int64_t>(i));
    } else if (step == -1) {
      ends.push_back(static_cast<int64_t>(i) - 1);
    }
    previous = current;
  }
  std::vector<Run> out;
  for (size_t k = 0; k < std::min(starts.size(), ends.size()); ++k) {
    out.push_back({starts[k], ends[k]});
  }
  return out;
}

namespace {

template <class W>
double weighted_quantile_of(std::span<const double> values, std::span<const W> weights, double quantile) {
  const size_t n = std::min(values.size(), weights.size());
  if (n == 0) {
    return 0.0;
  }
  const std::vector<size_t> order = numeric::argsort_stable(values.first(n));
  std::vector<W> cumulative(n);
  W running = 0;
  for (size_t i = 0; i < n; ++i) {
    running = i == 0 ? weights[order[0]] : static_cast<W>(running + weights[order[i]]);
    cumulative[i] = running;
  }
  const auto total = static_cast<double>(cumulative.back());
  if (!(total > 0.0)) {
    return 0.0;
  }
  // searchsorted compares in double: the float32 sums widen exactly.
  const double target = quantile * total;
  const auto first = std::lower_bound(cumulative.begin(), cumulative.end(), target,
                                      [](W c, double t) { return static_cast<double>(c) < t; });
  const size_t index = std::min(static_cast<size_t>(first - cumulative.begin()), n - 1);
  return values[order[index]];
}

// weighted_quantile of the column indices of a rows x cols band under its own weights. A stable
// sort of row-major column indices lists each column's pixels top to bottom, column by column,
// so that order is written down rather than sorted for.
double column_quantile(const float* weights, int64_t rows, int64_t cols, double quantile) {
  std::vector<float> cumulative;
  cumulative.reserve(static_cast<size_t>(rows * cols));
  float running = 0;
  for (int64_t c = 0; c < cols; ++c) {
    for (int64_t r = 0; r < rows; ++r) {
      const float weight = weights[r * cols + c];
      running = cumulative.empty() ? weight : running + weight;
      cumulative.push_back(running);
    }
  }
  if (cumulative.empty() || !(static_cast<double>(cumulative.back()) > 0.0)) {
    return 0.0;
  }
  const double target = quantile * static_cast<double>(cumulative.back());
  const auto first = std::lower_bound(cumulative.begin(), cumulative.end(), target,
                                      [](float c, double t) { return static_cast<double>(c) < t; });
  const auto index = std::min(static_cast<size_t>(first - cumulative.begin()), cumulative.size() - 1);
  return static_cast<double>(static_cast<int64_t>(index) / rows);
}

// combined[rows top..bottom].sum() of a contiguous float32 array, as NumPy reduces it. Rows past
// the end count as a slice does: not at all.
double rows_sum(const cv::Mat& a, int top, int bottom) {
  bottom = std::min(bottom, a.rows - 1);
  if (bottom < top) {
    return 0.0;
  }
  const auto count = static_cast<size_t>(bottom - top + 1) * static_cast<size_t>(a.cols);
  return static_cast<double>(numeric::sum_pairwise_f32(a.ptr<float>(top), count));
}

}  // namespace

double weighted_quantile(std::span<const double> values, std::span<const float> weights, double quantile) {
  return weighted_quantile_of(values, weights, quantile);
}

double weighted_quantile(std::span<const double> values, std::span<const double> weights, double quantile) {
  return weighted_quantile_of(values, weights, quantile);
}

Groups separator_groups(const cv::Mat& binary, const cv::Mat& gray_energy, const cv::Mat& combined) {
  CV_Assert(combined.type() == CV_32F && combined.isContinuous());
  CV_Assert(binary.size() == combined.size() && gray_energy.size() == combined.size());
  CV_Assert(binary.type() == CV_32F && gray_energy.type() == CV_32F);
  CV_Assert(binary.isContinuous() && gray_energy.isContinuous());
  const int h = combined.rows;
  const int w = combined.cols;
  Groups out;

  const std::vector<float> projection =
      numeric::sum_rows_f32(combined.ptr<float>(), static_cast<size_t>(h), static_cast<size_t>(w));
  auto smooth_size = std::max(3, static_cast<int>(numeric::round_half_even(h * 0.04)));
  if (smooth_size % 2 == 0) {
    ++smooth_size;
  }
  const std::vector<float> kernel(static_cast<size_t>(smooth_size), 1.0f / static_cast<float>(smooth_size));
  std::vector<float> smooth = numeric::convolve_same(projection.data(), projection.size(), kernel.data(),
                                                     kernel.size());
  if (smooth.empty()) {
    return out;
  }
  const auto floor_f = static_cast<float>(numeric::percentile_linear(std::span<const float>(smooth), 10.0));
  float peak = 0.0f;
  for (float& v : smooth) {
    v = v - floor_f;
    v = v >= 0.0f ? v : 0.0f;
    peak = v > peak ? v : peak;
  }
  if (!(peak > 0.0f)) {
    return out;
  }

  // The threshold is a double that NumPy casts to the array's float32 for the comparison.
  const auto active_cut = static_cast<float>(static_cast<double>(peak) * 0.18);
  std::vector<int8_t> active(smooth.size());
  for (size_t i = 0; i < smooth.size(); ++i) {
    active[i] = smooth[i] >= active_cut ? 1 : 0;
  }
  const int64_t max_gap = std::max<int64_t>(1, static_cast<int64_t>(numeric::round_half_even(h * 0.035)));
  std::vector<Run> bands;
  for (const Run& run : runs(active)) {
    if (!bands.empty() && run.start - bands.back().end - 1 <= max_gap) {
      bands.back().end = run.end;
    } else {
      bands.push_back(run);
    }
  }

  const double total_energy = rows_sum(combined, 0, h - 1);
  const double energy_base = std::max(total_energy, 1.0);
  const double reliability_scale = std::max((0.01 * h) * w, 1.0);
  for (const Run& band : bands) {
    const auto top = static_cast<int>(band.start);
    const auto bottom = static_cast<int>(band.end);
    const int64_t height = bottom - top + 1;
    const bool touches_edge = top == 0 || bottom == h - 1;
    if (touches_edge && static_cast<double>(height) <= h * 0.08) {
      continue;
    }
    const double energy = rows_sum(combined, top, bottom);
    const double fraction = energy / energy_base;
    if (energy <= 0.0 || fraction < 0.03) {
      continue;
    }
    // A crop fewer rows tall than the moving average gets a longer smoothed projection (the
    // convolution's length is the longer input's), so a band may reach past the last row; its
    // pixels are those of the rows that exist.
    const int last_row = std::min(bottom, h - 1);
    const size_t count = static_cast<size_t>(last_row - top + 1) * static_cast<size_t>(w);
    const float* weights = combined.ptr<float>(top);
    std::vector<double> x_products(count);
    std::vector<double> y_products(count);
    for (size_t i = 0; i < count; ++i) {
      const auto x = static_cast<double>(i % static_cast<size_t>(w));
      const auto y = static_cast<double>(top + static_cast<int64_t>(i / static_cast<size_t>(w)));
      x_products[i] = x * static_cast<double>(weights[i]);
      y_products[i] = y * static_cast<double>(weights[i]);
    }
    Group g;
    g.y_min = top;
    g.y_max = bottom;
    g.center_x = numeric::sum_pairwise_f64(x_products.data(), count) / energy;
    g.center_y = numeric::sum_pairwise_f64(y_products.data(), count) / energy;
    const double useful_left = column_quantile(weights, last_row - top + 1, w, 0.05);
    const double useful_right = column_quantile(weights, last_row - top + 1, w, 0.95);
    g.width = useful_right - useful_left + 1.0;
    g.height = height;
    g.energy = energy;
    g.gray_energy = rows_sum(gray_energy, top, bottom);
    g.binary_energy = rows_sum(binary, top, bottom);
    g.energy_fraction = fraction;
    g.x_normalized = g.center_x / std::max(w, 1);
    g.y_normalized = g.center_y / std::max(h, 1);
    g.reliability = std::min(energy / reliability_scale, 1.0);
    out.groups.push_back(g);
  }

  out.energy_profile.reserve(kProfileSlices);
  for (int k = 0; k < kProfileSlices; ++k) {
    const int first = static_cast<int>(int64_t{k} * h / kProfileSlices);
    const int last = static_cast<int>(int64_t{k + 1} * h / kProfileSlices - 1);
    out.energy_profile.push_back(numeric::round_decimals(rows_sum(combined, first, last) / energy_base, 4));
  }
  return out;
}

}  // namespace tessaryn::panelsight::separator
