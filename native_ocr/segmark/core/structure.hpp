// Where a digit's rows and columns are, how thick its strokes are and how wide a whole digit of
// this size would be, from the row and column projections of its cell.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <utility>

#include "segmark/core/cell.hpp"
#include "segmark/core/constants.hpp"

namespace tessaryn::segmark {

using ColumnSpan = std::pair<int64_t, int64_t>;

struct Structure {
  Box tight_box;
  int64_t vertical_core_top = 0;
  int64_t vertical_core_bottom = 0;
  int64_t top = 0;  // the core extended across small gaps
  int64_t bottom = 0;
  int64_t left = 0;  // first and last strong column within top..bottom
  int64_t right = 0;
  int64_t support_left = 0;  // strong columns extended across small gaps
  int64_t support_right = 0;
  double width_ratio = 0.0;
  double nominal_segment_length = 0.0;
  int64_t nominal_frame_width = 0;
  std::optional<ColumnSpan> horizontal_bar_extent;
};

// The widest row run of ink at least twice the stroke thickness in rows top..bottom (inclusive,
// inside the cell); among equally wide ones the one furthest right.
std::optional<ColumnSpan> horizontal_bar_extent(const cv::Mat& cell, int64_t top, int64_t bottom,
                                                int64_t stroke_thickness);

// Projections sum the cell's values, so an 8-bit cell of 0/1 gives pixel counts.
std::optional<Structure> structural_frame(const cv::Mat& cell, const Constants& k);

}  // namespace tessaryn::segmark
