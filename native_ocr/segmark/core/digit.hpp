// One digit slot read end to end: clip the box, cut the 0/1 cell, decide empty or classify.
#pragma once

#include <optional>

#include "common/strided_image.hpp"
#include "segmark/core/cell.hpp"
#include "segmark/core/classify.hpp"
#include "segmark/core/constants.hpp"
#include "segmark/core/frame.hpp"

namespace tessaryn::segmark {

struct SlotReading {
  Box box;  // clipped
  bool empty = true;
  double confidence = 1.0;
  double empty_confidence = 1.0;
  double ink_ratio = 0.0;
  // Set when the slot was classified (empty is false).
  std::optional<FrameInfo> info;
  std::optional<Classification> classification;
  double observed_width_ratio = 0.0;
};

// `box` holds the slot's corners already truncated to integers, in any order.
SlotReading read_digit_cell(const StridedImage& binary, const Box& box, const Constants& k);

}  // namespace tessaryn::segmark
