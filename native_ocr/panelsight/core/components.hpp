// Removal of small blobs from binary masks: stray noise next to a real separator dot.
#pragma once

#include <opencv2/core.hpp>

namespace tessaryn::panelsight {

// A new CV_8UC1 mask of the same size: 255 on every pixel of an 8-connected component of the
// non-zero pixels whose area is at least min_area, 0 elsewhere. The mask is not changed. A
// component of area exactly min_area survives; a NaN min_area keeps nothing. Throws cv::Exception,
// as OpenCV's labelling does, for a mask that is not single-channel 8-bit unsigned.
cv::Mat remove_small_components(const cv::Mat& mask, double min_area);

}  // namespace tessaryn::panelsight
