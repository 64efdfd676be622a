// Slot boxes, 0/1 cells and the rectangle fill measure the probes are built on.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>

#include "common/mat_view.hpp"
#include "common/strided_image.hpp"

namespace tessaryn::segmark {

using tessaryn::view_of;

// Inclusive pixel box [x1, y1, x2, y2].
struct Box {
  int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  bool operator==(const Box&) const = default;
};

// Clamps each corner into the image (every coordinate 0 for a zero-sized side) and orders them.
Box clip_box(int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t width, int64_t height);

// 1 where the pixel (the maximum over channels for a 3-D image) is greater than 0, for the inclusive
// box of the image; the box must lie inside it. Reads the caller's pixels in place.
cv::Mat as01(const StridedImage& image, const Box& box);

// The whole image as 0/1.
cv::Mat as01(const StridedImage& image);

// Bounding box (x1, y1, x2, y2, inclusive) of the entries greater than 0 of an 8-bit mask.
std::optional<Box> tight_bounds(const cv::Mat& mask);

// Fill fraction of the rectangle [x1, x2) x [y1, y2) of an 8-bit frame (non-zero counts as ink),
// each bound rounded half to even and clamped into the frame; 0 for an empty rectangle.
double rectangle_fill(const cv::Mat& frame, double x1, double y1, double x2, double y2);

}  // namespace tessaryn::segmark
