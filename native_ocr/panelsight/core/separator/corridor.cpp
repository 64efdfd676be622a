#include "panelsight/core/separator/corridor.hpp"

#include <algorithm>
#include <cmath>

#include "panelsight/core/layouts.hpp"
#include "panelsight/core/separator/energy.hpp"

namespace tessaryn::panelsight::separator {

Corridor search_corridor(int64_t crop_width, int64_t crop_height) {
  const Layout layout = clock_slots(static_cast<double>(crop_width), static_cast<double>(crop_height), std::nullopt);
  const auto separator = std::find_if(layout.begin(), layout.end(), [](const Slot& s) { return s.separator; });
  Corridor c;
  c.physical_left = static_cast<int64_t>(separator->box[0]);
  c.physical_right = static_cast<int64_t>(separator->box[2]);
  c.window_width = std::max<int64_t>(3, c.physical_right - c.physical_left + 1);
  c.max_shift = std::max<int64_t>(
      1, static_cast<int64_t>(std::floor(static_cast<double>(c.window_width) * (1.0 - kMinimumOverlap))));
  c.search_left = std::max<int64_t>(0, c.physical_left - c.max_shift);
  c.search_right = std::min<int64_t>(crop_width - 1, c.physical_right + c.max_shift);
  return c;
}

std::vector<int64_t> window_starts(const Corridor& c) {
  const int64_t last_start = std::max(c.search_left, c.search_right - c.window_width + 1);
  std::vector<int64_t> starts;
  for (int64_t s = c.search_left; s <= last_start; ++s) {
    starts.push_back(s);
  }
  if (std::find(starts.begin(), starts.end(), c.physical_left) == starts.end()) {
    starts.insert(std::upper_bound(starts.begin(), starts.end(), c.physical_left), c.physical_left);
  }
  return starts;
}

WindowSpan place_window(int64_t start, int64_t window_width, int64_t crop_width) {
  WindowSpan span;
  span.left = std::max<int64_t>(0, std::min(start, crop_width - window_width));
  span.right = std::min(span.left + window_width - 1, crop_width - 1);
  return span;
}

WindowEvaluation evaluate_window(const cv::Mat& crop, int64_t start, int64_t window_width,
                                 const cv::Mat& blurred_gray) {
  WindowEvaluation e;
  e.span = place_window(start, window_width, crop.cols);
  const int width = static_cast<int>(std::max<int64_t>(0, e.span.right - e.span.left + 1));
  const cv::Mat window = crop(cv::Rect(static_cast<int>(e.span.left), 0, width, crop.rows));
  const EnergyMap map = separator_energy_map(window, blurred_gray);
  e.groups = separator_groups(map.binary, map.gray_energy, map.combined);
  e.topology = separator_topology(e.groups.groups, static_cast<double>(e.span.right - e.span.left + 1),
                                  static_cast<double>(crop.rows));
  return e;
}

}  // namespace tessaryn::panelsight::separator
