#include "segmark/core/digit.hpp"

#include <algorithm>

namespace tessaryn::segmark {

namespace {

// Below this much ink a cell is blank: 1 - 0.4 * 0.06 leaves an empty confidence of 0.6.
constexpr double kEmptyInkScale = 0.06;
constexpr double kEmptyConfidenceCut = 0.6;

}  // namespace

SlotReading read_digit_cell(const StridedImage& binary, const Box& box, const Constants& k) {
  SlotReading reading;
  reading.box = clip_box(box.x1, box.y1, box.x2, box.y2, binary.cols, binary.rows);
  if (binary.rows == 0 || binary.cols == 0) {
    return reading;  // nothing to cut: the empty result with full confidence
  }
  const cv::Mat cell = as01(binary, reading.box);
  const int64_t ink = cv::countNonZero(cell);
  reading.ink_ratio = static_cast<double>(ink) / static_cast<double>(cell.total());
  reading.empty_confidence = std::clamp(1.0 - reading.ink_ratio / kEmptyInkScale, 0.0, 1.0);
  if (reading.empty_confidence >= kEmptyConfidenceCut) {
    reading.confidence = reading.empty_confidence;
    return reading;
  }
  reading.empty = false;
  reading.info = frame_from_cell(cell, k);
  if (!reading.info) {
    // Not reached: a cell past the empty test has ink, and a cell with ink always has a frame. The
    // reading goes back unclassified rather than classified on nothing.
    return reading;
  }
  reading.classification = classify_frame(reading.info->frame, k);
  const Box& observed = reading.info->observed_box_local;
  reading.observed_width_ratio =
      static_cast<double>(observed.x2 - observed.x1 + 1) / static_cast<double>(std::max(cell.cols, 1));
  return reading;
}

}  // namespace tessaryn::segmark
