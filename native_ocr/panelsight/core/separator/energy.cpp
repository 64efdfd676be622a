#include "panelsight/core/separator/energy.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "common/numeric.hpp"
#include "panelsight/core/components.hpp"

namespace tessaryn::panelsight::separator {

namespace {

template <class T>
std::span<const T> pixels_of(const cv::Mat& continuous) {
  CV_Assert(continuous.isContinuous());
  return {continuous.ptr<T>(), continuous.total() * static_cast<size_t>(continuous.channels())};
}

// int(np.percentile(image, q)), raised to `floor`.
int percentile_cut(const cv::Mat& image, double q, int floor) {
  const double p = numeric::percentile_linear(pixels_of<uint8_t>(image), q);
  return std::max(static_cast<int>(std::trunc(p)), floor);
}

}  // namespace

cv::Mat detail_blur(const cv::Mat& gray) {
  cv::Mat blurred;
  cv::GaussianBlur(gray, blurred, cv::Size(0, 0), kDetailBlurSigma);
  return blurred;
}

namespace {

// The value channel of OpenCV's 8-bit BGR-to-HSV conversion is exactly max(B, G, R); the hue
// and saturation it would also compute are not used.
cv::Mat hsv_value(const cv::Mat& window) {
  CV_CheckType(window.type(), window.type() == CV_8UC3 || window.type() == CV_8UC4,
               "the window must be an 8-bit BGR image");
  cv::Mat value(window.size(), CV_8U);
  const int cn = window.channels();
  for (int r = 0; r < window.rows; ++r) {
    const uint8_t* px = window.ptr<uint8_t>(r);
    uint8_t* out = value.ptr<uint8_t>(r);
    for (int c = 0; c < window.cols; ++c, px += cn) {
      out[c] = std::max(px[0], std::max(px[1], px[2]));
    }
  }
  return value;
}

// Closing with the 3 x 3 elliptic element, which is the plus-shaped cross: a dilation that
// ignores pixels beyond the border, then an erosion that ignores them too, as OpenCV's default
// morphology border does.
cv::Mat cross_pass(const cv::Mat& in, bool dilate) {
  const int rows = in.rows;
  const int cols = in.cols;
  cv::Mat out(in.size(), CV_8U);
  // Replicating the edge pixel is the same as leaving the outside out of a max or a min.
  std::vector<uint8_t> line(static_cast<size_t>(cols) + 2);
  for (int r = 0; r < rows; ++r) {
    const uint8_t* up = in.ptr<uint8_t>(std::max(0, r - 1));
    const uint8_t* mid = in.ptr<uint8_t>(r);
    const uint8_t* down = in.ptr<uint8_t>(std::min(rows - 1, r + 1));
    std::copy(mid, mid + cols, line.begin() + 1);
    line.front() = mid[0];
    line.back() = mid[cols - 1];
    uint8_t* o = out.ptr<uint8_t>(r);
    for (int c = 0; c < cols; ++c) {
      const uint8_t a = line[static_cast<size_t>(c)];
      const uint8_t b = line[static_cast<size_t>(c) + 2];
      const uint8_t v = mid[c];
      o[c] = dilate ? std::max(std::max(std::max(up[c], down[c]), std::max(a, b)), v)
                    : std::min(std::min(std::min(up[c], down[c]), std::min(a, b)), v);
    }
  }
  return out;
}

// Closing with the 3 x 3 elliptic element, which is the plus-shaped cross: a dilation that
// ignores pixels beyond the border, then an erosion that ignores them too, as OpenCV's default
// morphology border does.
cv::Mat close_with_cross(const cv::Mat& mask) {
  if (mask.empty()) {
    return mask.clone();
  }
  return cross_pass(cross_pass(mask, true), false);
}

cv::Mat mask_of(const cv::Mat& window, const cv::Mat& gray, const cv::Mat& blurred_gray) {
  // Very bright pixels: LED dots saturate the value channel.
  const cv::Mat value = hsv_value(window);
  cv::Mat bright;
  cv::compare(value, percentile_cut(value, 94.0, 135), bright, cv::CMP_GE);

  // Pixels brighter than their surroundings: dim LCD or LED dots on a lit panel.
  const cv::Mat blur = blurred_gray.empty() ? detail_blur(gray) : blurred_gray;
  cv::Mat detail;
  cv::subtract(gray, blur, detail);
  const int detail_cut = percentile_cut(detail, 94.0, 8);
  const int gray_cut = percentile_cut(gray, 82.0, 105);
  cv::Mat lit_enough;
  cv::Mat detailed;
  cv::compare(gray, gray_cut, lit_enough, cv::CMP_GE);
  cv::compare(detail, detail_cut, detailed, cv::CMP_GE);
  cv::Mat local;
  cv::bitwise_and(lit_enough, detailed, local);

  cv::Mat mask;
  cv::bitwise_or(bright, local, mask);
  const int min_area = std::max(3, static_cast<int>(static_cast<double>(int64_t{mask.rows} * mask.cols) * 1.5e-05));
  return close_with_cross(remove_small_components(mask, min_area));
}

}  // namespace

cv::Mat separator_mask(const cv::Mat& window, const cv::Mat& blurred_gray) {
  cv::Mat gray;
  cv::cvtColor(window, gray, cv::COLOR_BGR2GRAY);
  return mask_of(window, gray, blurred_gray);
}

EnergyMap separator_energy_map(const cv::Mat& window, const cv::Mat& blurred_gray) {
  cv::Mat gray8;
  cv::cvtColor(window, gray8, cv::COLOR_BGR2GRAY);
  cv::Mat gray;
  gray8.convertTo(gray, CV_32F);
  const cv::Mat mask = mask_of(window, gray8, blurred_gray);

  EnergyMap map;
  map.binary.create(gray.size(), CV_32F);
  map.gray_energy.create(gray.size(), CV_32F);
  map.combined.create(gray.size(), CV_32F);

  const std::span<const float> g = pixels_of<float>(gray);
  // The float32 gray holds the bytes' whole numbers, so their percentiles are the same values.
  const double background = numeric::percentile_linear(pixels_of<uint8_t>(gray8), 55.0);
  const double highlight = numeric::percentile_linear(pixels_of<uint8_t>(gray8), 99.0);
  // NumPy computes with the scalars cast to the array's float32.
  const auto background_f = static_cast<float>(background);
  const auto scale_f = static_cast<float>(std::max(highlight - background, 1.0));

  const uint8_t* m = mask.ptr<uint8_t>();
  float* binary = map.binary.ptr<float>();
  float* energy = map.gray_energy.ptr<float>();
  float* combined = map.combined.ptr<float>();
  for (size_t i = 0; i < g.size(); ++i) {
    binary[i] = m[i] > 0 ? 1.0f : 0.0f;
    float e = (g[i] - background_f) / scale_f;
    e = e < 0.0f ? 0.0f : (e > 1.0f ? 1.0f : e);
    energy[i] = std::pow(e, 1.5f);
    combined[i] = 0.5f * binary[i] + 0.5f * energy[i];
  }
  return map;
}

}  // namespace tessaryn::panelsight::separator
