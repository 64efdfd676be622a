// Preparation of a field's crop for the digit reader: gray, contrast, gamma, rotation, blur,
// threshold, inversion and morphology, each an OpenCV step, in this fixed order.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>

#include "panelsight/core/settings.hpp"

namespace tessaryn::panelsight {

// Entry i is the integer part of 255 * (i / 255)^(1 / gamma), computed in double precision.
std::array<uint8_t, 256> gamma_table(double gamma);

// The image turned by `degrees` (counter-clockwise positive) about its centre (w / 2, h / 2),
// same size, bilinear, with black where the turned image leaves the frame uncovered.
cv::Mat rotated(const cv::Mat& image, double degrees);

// A frame with a channel axis is converted from BGR even when it has a single channel, so that
// OpenCV's conversion refuses what it refuses for any other caller.
enum class PixelLayout { Gray, Colour };

// The prepared single-channel CV_8U image of a CV_8U `image`: gray, or colour with 3 or 4 channels
// in BGR order. A new image; the input is only read. Images OpenCV's steps refuse (other channel
// counts, other depths) raise cv::Exception from the step that refuses them.
cv::Mat process_image(const cv::Mat& image, PixelLayout layout, const ProcessingSettings& settings);

}  // namespace tessaryn::panelsight
