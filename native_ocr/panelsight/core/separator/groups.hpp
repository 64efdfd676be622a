// Horizontal bands of concentrated energy in a search window: the dots of a colon or a decimal
// point, and whatever stray light looks like one.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace tessaryn::panelsight::separator {

struct Run {
  int64_t start;
  int64_t end;  // inclusive
};

// Maximal runs of non-zero values, in order. Values are int8 as NumPy's astype(int8) gives them;
// starts and ends are found from the wrapped first difference and paired in order, as zip does.
std::vector<Run> runs(std::span<const int8_t> bits);

// The value at the first position whose cumulative weight reaches quantile x the total weight,
// with the values sorted (stably). 0 when there are no values or the total is not positive.
// Float weights accumulate in float32, as NumPy's cumsum of float32 does.
double weighted_quantile(std::span<const double> values, std::span<const float> weights, double quantile);
double weighted_quantile(std::span<const double> values, std::span<const double> weights, double quantile);

struct Group {
  int64_t y_min = 0;
  int64_t y_max = 0;  // inclusive
  double center_x = 0;
  double center_y = 0;
  double width = 0;
  int64_t height = 0;
  double energy = 0;
  double gray_energy = 0;
  double binary_energy = 0;
  double energy_fraction = 0;
  double x_normalized = 0;
  double y_normalized = 0;
  double reliability = 0;
};

struct Groups {
  std::vector<Group> groups;
  std::vector<double> energy_profile;  // six shares, top to bottom, or none without any energy
};

inline constexpr int kProfileSlices = 6;

// The bands of one window from its three CV_32F energy arrays of equal shape.
Groups separator_groups(const cv::Mat& binary, const cv::Mat& gray_energy, const cv::Mat& combined);

}  // namespace tessaryn::panelsight::separator
