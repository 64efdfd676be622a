// Is the ink a single vertical stroke, the shape of a seven-segment "1"?
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

#include "segmark/core/constants.hpp"

namespace tessaryn::segmark {

// Number of 4-connected ink components whose area is at least a fraction of the largest one (and
// at least the minimum area): specks do not count, the largest component always does.
int64_t significant_component_count(const cv::Mat& mask, const Constants& k);

// The glyph's ink is one significant component drawn as a stroke of even width down enough rows;
// the first half of the single-vertical-mass test, before the bounds' aspect is looked at.
bool single_vertical_stroke(const cv::Mat& glyph, const Constants& k);

// `glyph` is the region rows top..bottom, columns left..right of the cell, as the caller cut it;
// the bounds themselves decide the aspect test.
bool single_vertical_mass(const cv::Mat& glyph, int64_t top, int64_t bottom, int64_t left, int64_t right,
                          const Constants& k);

}  // namespace tessaryn::segmark
