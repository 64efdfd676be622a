#include "panelsight/core/prepare.hpp"

#include <opencv2/imgproc.hpp>

#include <bit>
#include <cmath>

namespace tessaryn::panelsight {

std::array<uint8_t, 256> gamma_table(double gamma) {
  const double exponent = 1.0 / gamma;
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    const double value = std::pow(i / 255.0, exponent) * 255.0;
    // Truncation as a uint8 cast does; only a NaN gamma leaves a value outside [0, 255], and
    // such an entry is dark rather than undefined.
    table[static_cast<size_t>(i)] = value >= 0.0 && value <= 255.0 ? static_cast<uint8_t>(value) : 0;
  }
  return table;
}

cv::Mat rotated(const cv::Mat& image, double degrees) {
  const int h = image.rows;
  const int w = image.cols;
  const cv::Mat rotation = cv::getRotationMatrix2D(cv::Point2f(w / 2.0f, h / 2.0f), degrees, 1.0);
  cv::Mat out;
  cv::warpAffine(image, out, rotation, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  return out;
}

cv::Mat process_image(const cv::Mat& image, PixelLayout layout, const ProcessingSettings& s) {
  if (image.depth() != CV_8U) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the image must be of dtype uint8");
  }
  cv::Mat gray;
  if (layout == PixelLayout::Gray) {
    gray = image;  // never written: the next step writes a new image
  } else {
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  }

  cv::Mat out;
  cv::convertScaleAbs(gray, out, s.contrast, s.brightness);

  // 256 pow() calls cost about as much as the rest of a small crop's preparation, and a zone's
  // gamma rarely changes between frames; the table is a pure function of the gamma's bits.
  thread_local uint64_t table_gamma_bits = std::bit_cast<uint64_t>(kDefaultProcessing.gamma);
  thread_local std::array<uint8_t, 256> table = gamma_table(kDefaultProcessing.gamma);
  if (std::bit_cast<uint64_t>(s.gamma) != table_gamma_bits) {
    table = gamma_table(s.gamma);
    table_gamma_bits = std::bit_cast<uint64_t>(s.gamma);
  }
  cv::LUT(out, cv::Mat(1, 256, CV_8U, table.data()), out);

  if (std::abs(s.rotation) > kRotationDeadband) {
    out = rotated(out, s.rotation);
  }

  if (s.blur > 0) {
    const int k = s.blur % 2 == 0 ? s.blur + 1 : s.blur;
    cv::Mat blurred;
    cv::GaussianBlur(out, blurred, cv::Size(k, k), 0);
    out = blurred;
  }

  if (s.binarize) {
    cv::threshold(out, out, s.threshold, 255, cv::THRESH_BINARY);
  }
  if (s.invert) {
    cv::bitwise_not(out, out);
  }

  if (s.morphology != Morphology::None) {
    const int size = std::max(1, s.morph_size);
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(size, size));
    cv::Mat shaped;
    switch (s.morphology) {
      case Morphology::Dilate: cv::dilate(out, shaped, kernel, cv::Point(-1, -1), 1); break;
      case Morphology::Erode: cv::erode(out, shaped, kernel, cv::Point(-1, -1), 1); break;
      case Morphology::Close: cv::morphologyEx(out, shaped, cv::MORPH_CLOSE, kernel); break;
      case Morphology::Open: cv::morphologyEx(out, shaped, cv::MORPH_OPEN, kernel); break;
      case Morphology::None: shaped = out; break;
    }
    out = shaped;
  }
  return out;
}

}  // namespace tessaryn::panelsight
