#include "segmark/core/glyph.hpp"

#include <algorithm>
#include <vector>

namespace tessaryn::segmark {

int64_t significant_component_count(const cv::Mat& mask, const Constants& k) {
  const int height = mask.rows;
  const int width = mask.cols;
  std::vector<uint8_t> visited(static_cast<size_t>(height) * static_cast<size_t>(width), 0);
  std::vector<int64_t> areas;
  std::vector<std::pair<int, int>> stack;
  auto ink = [&](int y, int x) { return mask.ptr<uint8_t>(y)[x] > 0; };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!ink(y, x) || visited[static_cast<size_t>(y) * width + x]) {
        continue;
      }
      int64_t area = 0;
      stack.assign(1, {y, x});
      visited[static_cast<size_t>(y) * width + x] = 1;
      while (!stack.empty()) {
        const auto [cy, cx] = stack.back();
        stack.pop_back();
        ++area;
        const std::pair<int, int> neighbours[4] = {{cy - 1, cx}, {cy + 1, cx}, {cy, cx - 1}, {cy, cx + 1}};
        for (const auto& [ny, nx] : neighbours) {
          if (ny < 0 || ny >= height || nx < 0 || nx >= width) {
            continue;
          }
          uint8_t& seen = visited[static_cast<size_t>(ny) * width + nx];
          if (!seen && ink(ny, nx)) {
            seen = 1;
            stack.push_back({ny, nx});
          }
        }
      }
      areas.push_back(area);
    }
  }
  if (areas.empty()) {
    return 0;
  }
  const double largest = static_cast<double>(*std::max_element(areas.begin(), areas.end()));
  const double minimum = std::max(largest * k.component_area_fraction, k.component_min_area);
  return std::count_if(areas.begin(), areas.end(),
                       [&](int64_t area) { return static_cast<double>(area) >= minimum; });
}

bool single_vertical_stroke(const cv::Mat& glyph, const Constants& k) {
  if (glyph.empty() || significant_component_count(glyph, k) != 1) {
    return false;
  }
  std::vector<double> widths;
  for (int r = 0; r < glyph.rows; ++r) {
    const uint8_t* row = glyph.ptr<uint8_t>(r);
    int64_t longest = 0;
    int c = 0;
    while (c < glyph.cols) {
      if (row[c] == 0) {
        ++c;
        continue;
      }
      const int start = c;
      while (c < glyph.cols && row[c] != 0) {
        ++c;
      }
      longest = std::max<int64_t>(longest, c - start);
    }
    if (longest > 0) {
      widths.push_back(static_cast<double>(longest));
    }
  }
  if (static_cast<double>(widths.size()) < k.vertical_stroke_min_rows) {
    return false;
  }
  const double widest = *std::max_element(widths.begin(), widths.end());
  std::sort(widths.begin(), widths.end());
  const size_t n = widths.size();
  // The median of an even count is the mean of the two middle values, as NumPy takes it.
  const double stroke = n % 2 == 1 ? widths[n / 2] : (widths[n / 2 - 1] + widths[n / 2]) / 2.0;
  // Negated as written, not as <, so that a NaN threshold decides as it always has.
  return !(widest >= std::max(stroke * k.vertical_stroke_max_width_ratio, stroke + 2.0));
}

bool single_vertical_mass(const cv::Mat& glyph, int64_t top, int64_t bottom, int64_t left, int64_t right,
                          const Constants& k) {
  if (!single_vertical_stroke(glyph, k)) {
    return false;
  }
  const double height = static_cast<double>(std::max<int64_t>(bottom - top + 1, 1));
  const double width = static_cast<double>(right - left + 1);
  return width <= height * k.vertical_stroke_max_aspect;
}

}  // namespace tessaryn::segmark
