// Where the separator search looks: windows as wide as the clock layout's separator slot, shifted
// at most 35 % of that width to either side, and what one window shows.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "panelsight/core/separator/groups.hpp"
#include "panelsight/core/separator/topology.hpp"

namespace tessaryn::panelsight::separator {

inline constexpr double kMinimumOverlap = 0.65;

struct Corridor {
  int64_t physical_left = 0;
  int64_t physical_right = 0;  // inclusive
  int64_t search_left = 0;
  int64_t search_right = 0;    // inclusive
  int64_t window_width = 0;
  double minimum_overlap = kMinimumOverlap;
  int64_t max_shift = 0;
};

Corridor search_corridor(int64_t crop_width, int64_t crop_height);

// The window starts the detector evaluates, ascending: search_left up to the last start that
// still fits, plus physical_left when it is not among them.
std::vector<int64_t> window_starts(const Corridor& corridor);

struct WindowSpan {
  int64_t left = 0;
  int64_t right = 0;  // inclusive; below left for a window of no columns
};

// A requested start pushed inside a crop of `crop_width` columns.
WindowSpan place_window(int64_t start, int64_t window_width, int64_t crop_width);

struct WindowEvaluation {
  WindowSpan span;
  Groups groups;
  Topology topology;
};

// The chain energy map -> row groups -> topology for the window of `crop` (BGR) at `start`.
// `blurred_gray`, when not empty, is the detail blur of exactly this window.
WindowEvaluation evaluate_window(const cv::Mat& crop, int64_t start, int64_t window_width,
                                 const cv::Mat& blurred_gray = cv::Mat());

}  // namespace tessaryn::panelsight::separator
