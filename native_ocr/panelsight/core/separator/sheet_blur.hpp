// The detail blur of every search window from one blur call: each gray window padded with its own
// reflect-101 border of the kernel radius, the padded windows side by side in one sheet, the sheet
// blurred once and each window cut back out. The border makes each cut-out equal the window's own
// blur; a self-check confirms it with the OpenCV build in use.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace tessaryn::panelsight::separator {

// The half-width of the kernel OpenCV's GaussianBlur derives from sigma for 8-bit images.
int reflect_blur_radius(double sigma);

// The blurs of gray images of equal height, in order: regions of one blurred sheet (with a single
// image, its plain blur). cv::Exception from OpenCV for images it cannot join.
std::vector<cv::Mat> reflected_sheet_blurs(const std::vector<cv::Mat>& grays, double sigma);

// The self-check's probe: 85 x 9 pixels counting 0, 1, 2, ... modulo 256 in row-major order.
cv::Mat sheet_blur_probe();

}  // namespace tessaryn::panelsight::separator
