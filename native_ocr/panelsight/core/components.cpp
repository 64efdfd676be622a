#include "panelsight/core/components.hpp"

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <vector>

namespace tessaryn::panelsight {

cv::Mat remove_small_components(const cv::Mat& mask, double min_area) {
  CV_CheckTypeEQ(mask.type(), CV_8UC1, "the mask must be a single-channel 8-bit unsigned image");
  cv::Mat kept = cv::Mat::zeros(mask.size(), CV_8UC1);
  if (mask.empty()) {
    return kept;  // OpenCV's labelling does not survive an image without pixels
  }
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<uint8_t> value_of_label(static_cast<size_t>(count > 0 ? count : 0), 0);
  bool any_kept = false;
  for (int label = 1; label < count; ++label) {
    if (static_cast<double>(stats.at<int32_t>(label, cv::CC_STAT_AREA)) >= min_area) {
      value_of_label[static_cast<size_t>(label)] = 255;
      any_kept = true;
    }
  }
  if (!any_kept) {
    return kept;
  }
  for (int row = 0; row < labels.rows; ++row) {
    const int32_t* label = labels.ptr<int32_t>(row);
    uint8_t* out = kept.ptr<uint8_t>(row);
    for (int col = 0; col < labels.cols; ++col) {
      out[col] = value_of_label[static_cast<size_t>(label[col])];
    }
  }
  return kept;
}

}  // namespace tessaryn::panelsight
