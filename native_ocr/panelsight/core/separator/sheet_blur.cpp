#include "panelsight/core/separator/sheet_blur.hpp"

#include <opencv2/imgproc.hpp>

#include "common/numeric.hpp"
#include "panelsight/core/separator/fixed_gaussian.hpp"

namespace tessaryn::panelsight::separator {

int reflect_blur_radius(double sigma) {
  const int width = static_cast<int>(numeric::round_half_even(sigma * 6 + 1)) | 1;
  return width / 2;
}

std::vector<cv::Mat> reflected_sheet_blurs(const std::vector<cv::Mat>& grays, double sigma) {
  if (grays.empty()) {
    return {};
  }
  if (grays.size() == 1) {
    cv::Mat blurred;
    cv::GaussianBlur(grays[0], blurred, cv::Size(0, 0), sigma);
    return {blurred};
  }
  if (const FixedPointGaussian* model = FixedPointGaussian::for_sigma(sigma)) {
    // The same bytes as the blurred sheet's cut-outs, computed only where they are cut out; the
    // results still share one buffer, as cut-outs of a sheet do.
    int total_width = 0;
    for (const cv::Mat& gray : grays) {
      CV_Assert(gray.type() == CV_8UC1 && gray.rows == grays[0].rows);
      total_width += gray.cols;
    }
    cv::Mat sheet(grays[0].rows, total_width, CV_8U);
    std::vector<cv::Mat> out;
    int origin = 0;
    for (const cv::Mat& gray : grays) {
      cv::Mat region = sheet(cv::Rect(origin, 0, gray.cols, gray.rows));
      model->blur(gray, region);
      out.push_back(region);
      origin += gray.cols;
    }
    return out;
  }
  const int radius = reflect_blur_radius(sigma);
  std::vector<cv::Mat> padded(grays.size());
  for (size_t i = 0; i < grays.size(); ++i) {
    cv::copyMakeBorder(grays[i], padded[i], radius, radius, radius, radius, cv::BORDER_REFLECT_101);
  }
  cv::Mat sheet;
  cv::hconcat(padded, sheet);
  cv::Mat blurred;
  cv::GaussianBlur(sheet, blurred, cv::Size(0, 0), sigma);
  std::vector<cv::Mat> out;
  int origin = 0;
  for (size_t i = 0; i < grays.size(); ++i) {
    out.push_back(blurred(cv::Rect(origin + radius, radius, grays[i].cols, grays[i].rows)));
    origin += padded[i].cols;
  }
  return out;
}

cv::Mat sheet_blur_probe() {
  cv::Mat probe(85, 9, CV_8U);
  for (int i = 0; i < 85 * 9; ++i) {
    probe.ptr<uint8_t>()[i] = static_cast<uint8_t>(i % 256);
  }
  return probe;
}

}  // namespace tessaryn::panelsight::separator
