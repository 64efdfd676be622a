// Chooses the frame inside a digit cell that the segment probes measure: a wide glyph by its own
// strong columns, a narrow one by the nominal digit width anchored on the side where its strokes are.
#pragma once

#include <opencv2/core.hpp>

#include <optional>

#include "segmark/core/cell.hpp"
#include "segmark/core/constants.hpp"
#include "segmark/core/structure.hpp"

namespace tessaryn::segmark {

struct FrameInfo {
  cv::Mat frame;  // a view of the cell
  Box frame_box_local;
  Box observed_box_local;
  const char* frame_method = "";
  const char* horizontal_frame_source = "";
  const char* horizontal_structure_position = "";
  Structure structure;
};

std::optional<FrameInfo> frame_from_cell(const cv::Mat& cell, const Constants& k);

}  // namespace tessaryn::segmark
