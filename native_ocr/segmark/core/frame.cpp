#include "segmark/core/frame.hpp"

#include <algorithm>
#include <string_view>

#include "segmark/core/glyph.hpp"

namespace tessaryn::segmark {

namespace {

cv::Mat region(const cv::Mat& cell, int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
  // Inclusive bounds cut as slices would: clamped to the cell, empty when reversed.
  x1 = std::clamp<int64_t>(x1, 0, cell.cols);
  y1 = std::clamp<int64_t>(y1, 0, cell.rows);
  x2 = std::clamp<int64_t>(x2 + 1, x1, cell.cols);
  y2 = std::clamp<int64_t>(y2 + 1, y1, cell.rows);
  return cell(cv::Range(static_cast<int>(y1), static_cast<int>(y2)), cv::Range(static_cast<int>(x1), static_cast<int>(x2)));
}

}  // namespace

std::optional<FrameInfo> frame_from_cell(const cv::Mat& cell, const Constants& k) {
  const auto structure = structural_frame(cell, k);
  if (!structure) {
    return std::nullopt;
  }
  const Structure& s = *structure;
  FrameInfo info;
  info.structure = s;
  info.observed_box_local = s.tight_box;
  const int64_t cw = cell.cols;
  int64_t fx1 = s.left;
  int64_t fx2 = s.right;
  const int64_t fy1 = s.top;
  const int64_t fy2 = s.bottom;
  const bool bar = s.horizontal_bar_extent.has_value();

  if (s.width_ratio >= k.wide_glyph_min_width_ratio) {
    info.horizontal_structure_position = "wide";
    info.horizontal_frame_source = info.frame_method = "projection_wide";
  } else {
    const int64_t frame_width = s.nominal_frame_width;
    const double structure_center =
        static_cast<double>(s.left + s.right + 1) / (2.0 * static_cast<double>(std::max<int64_t>(cw, 1)));
    const int64_t right_candidate_left = s.right - frame_width + 1;
    const int64_t left_candidate_right = s.left + frame_width - 1;
    const bool right_fits = right_candidate_left >= 0;
    const bool left_fits = left_candidate_right < cw;
    const char* side = "ambiguous";
    if (right_fits && !left_fits) {
      side = "right";
    } else if (left_fits && !right_fits) {
      side = "left";
    } else if (structure_center >= 2.0 / 3.0) {
      side = "right";
    } else if (structure_center <= 1.0 / 3.0) {
      side = "left";
    }
    const std::string_view chosen(side);
    auto place_right = [&](const char* label) {
      fx1 = std::max<int64_t>(s.support_right - frame_width + 1, 0);
      fx2 = s.support_right;
      info.horizontal_structure_position = "right";
      info.horizontal_frame_source = info.frame_method = label;
    };
    if (chosen == "right") {
      place_right(bar ? "horizontal_bar_extent" : "nominal_width_right_anchored");
    } else if (chosen == "left") {
      fx1 = s.support_left;
      fx2 = std::min<int64_t>(s.support_left + frame_width - 1, cw - 1);
      info.horizontal_structure_position = "left";
      info.horizontal_frame_source = info.frame_method = bar ? "horizontal_bar_extent" : "nominal_width_left_anchored";
    } else {
      const cv::Mat glyph = region(cell, s.left, s.top, s.right, s.bottom);
      if (single_vertical_mass(glyph, s.top, s.bottom, s.left, s.right, k)) {
        place_right("nominal_width_right_anchored");
      } else {
        fx1 = s.support_left;
        fx2 = s.support_right;
        info.horizontal_structure_position = "ambiguous";
        info.horizontal_frame_source = "observed_fallback";
        info.frame_method = "projection_vertical_preserved_horizontal";
      }
    }
  }
  info.frame_box_local = Box{fx1, fy1, fx2, fy2};
  info.frame = region(cell, fx1, fy1, fx2, fy2);
  return info;
}

}  // namespace tessaryn::segmark
