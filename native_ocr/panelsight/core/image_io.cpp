#include "panelsight/core/image_io.hpp"

#include <opencv2/imgcodecs.hpp>

namespace tessaryn::panelsight {

cv::Mat decode_bgr_image(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return {};
  }
  cv::Mat image;
  try {
    image = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    // imread checks the declared frame size outside its own guard; an oversized or corrupt header
    // is just another undecodable file here.
    return {};
  }
  if (image.empty() || image.type() != CV_8UC3) {
    return {};
  }
  return image;
}

}  // namespace tessaryn::panelsight
