// Segment probes: the ink fraction at the seven places a segment sits in a frame spanning one digit.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "segmark/core/constants.hpp"

namespace tessaryn::segmark {

using SegmentValues = std::array<double, kSegmentCount>;  // A, B, C, D, E, F, G

// Non-zero pixels of the 8-bit frame count as ink. Frames under 8 rows or 5 columns give zeros.
SegmentValues segment_strengths(const cv::Mat& frame, const Constants& k);

// A probe that is at least 30 % ink is fully on, an empty one fully off.
double activation(double strength);

}  // namespace tessaryn::segmark
