#include "panelsight/core/separator/fixed_gaussian.hpp"

#include <opencv2/imgproc.hpp>

#include <numeric>

#include "panelsight/core/separator/sheet_blur.hpp"

namespace tessaryn::panelsight::separator {

namespace {

// cv::borderInterpolate for BORDER_REFLECT_101, repeated as often as a narrow image needs.
int reflect101(int p, int len) {
  if (len == 1) {
    return 0;
  }
  while (p < 0 || p >= len) {
    p = p < 0 ? -p : 2 * (len - 1) - p;
  }
  return p;
}

// All sums are whole numbers below 2^24 (at most 255 x 256 x 256), so float arithmetic, which
// vectorises everywhere, computes them exactly.

// out[y][x] = sum_j k[j] * src[reflect(y + j - r)][x], the inner loop along a row.
void vertical_pass(const float* src, int rows, int cols, const std::vector<float>& k, float* out) {
  const int r = static_cast<int>(k.size() / 2);
  for (int y = 0; y < rows; ++y) {
    float* acc = out + static_cast<size_t>(y) * static_cast<size_t>(cols);
    std::fill(acc, acc + cols, 0.0f);
    for (int j = 0; j < static_cast<int>(k.size()); ++j) {
      const float weight = k[static_cast<size_t>(j)];
      if (weight == 0.0f) {
        continue;
      }
      const float* line = src + static_cast<size_t>(reflect101(y + j - r, rows)) * static_cast<size_t>(cols);
      for (int x = 0; x < cols; ++x) {
        acc[x] += weight * line[x];
      }
    }
  }
}

// out[x] = sum_j k[j] * src[reflect(x + j - r)] for every row, through a reflected copy of the row.
void horizontal_pass(const float* src, int rows, int cols, const std::vector<float>& k, float* out) {
  const int r = static_cast<int>(k.size() / 2);
  std::vector<float> padded(static_cast<size_t>(cols + 2 * r));
  for (int y = 0; y < rows; ++y) {
    const float* line = src + static_cast<size_t>(y) * static_cast<size_t>(cols);
    for (int x = -r; x < cols + r; ++x) {
      padded[static_cast<size_t>(x + r)] = line[reflect101(x, cols)];
    }
    float* acc = out + static_cast<size_t>(y) * static_cast<size_t>(cols);
    std::fill(acc, acc + cols, 0.0f);
    for (int j = 0; j < static_cast<int>(k.size()); ++j) {
      const float weight = k[static_cast<size_t>(j)];
      if (weight == 0.0f) {
        continue;
      }
      const float* shifted = padded.data() + j;
      for (int x = 0; x < cols; ++x) {
        acc[x] += weight * shifted[x];
      }
    }
  }
}

bool blurs_like_opencv(const FixedPointGaussian& model, double sigma) {
  cv::RNG rng(0x5e9a);
  std::vector<cv::Mat> probes{sheet_blur_probe(), cv::Mat(1, 1, CV_8U, cv::Scalar(200)),
                              cv::Mat(5, 3, CV_8U), cv::Mat(87, 10, CV_8U), cv::Mat(33, 70, CV_8U)};
  for (size_t i = 2; i < probes.size(); ++i) {
    rng.fill(probes[i], cv::RNG::UNIFORM, 0, 256);
  }
  for (const cv::Mat& probe : probes) {
    cv::Mat expected;
    cv::GaussianBlur(probe, expected, cv::Size(0, 0), sigma);
    cv::Mat produced(probe.size(), CV_8U);
    model.blur(probe, produced);
    if (cv::norm(expected, produced, cv::NORM_INF) != 0.0) {
      return false;
    }
  }
  return true;
}

}  // namespace

const FixedPointGaussian* FixedPointGaussian::extract(double sigma) {
  // A vertical line of 255 blurs into 255 k / 256 per column, which rounds back to k while the
  // taps stay at most 128.
  const int r = reflect_blur_radius(sigma);
  cv::Mat line(3, 4 * r + 1, CV_8U, cv::Scalar(0));
  line.col(2 * r).setTo(255);
  cv::Mat blurred;
  cv::GaussianBlur(line, blurred, cv::Size(0, 0), sigma);
  std::vector<float> kernel;
  for (int x = r; x <= 3 * r; ++x) {
    kernel.push_back(blurred.at<uint8_t>(1, x));
  }
  const bool plausible = std::accumulate(kernel.begin(), kernel.end(), 0.0f) == 256.0f &&
                         std::all_of(kernel.begin(), kernel.end(), [](float k) { return k <= 128.0f; });
  if (!plausible) {
    return nullptr;
  }
  auto* model = new FixedPointGaussian(std::move(kernel));
  if (!blurs_like_opencv(*model, sigma)) {
    delete model;
    return nullptr;
  }
  return model;
}

const FixedPointGaussian* FixedPointGaussian::for_sigma(double sigma) {
  if (sigma != 7.0) {
    return nullptr;  // only the detector's blur is worth a model
  }
  static const FixedPointGaussian* const seven = extract(7.0);
  return seven;
}

void FixedPointGaussian::blur(const cv::Mat& gray, cv::Mat& out) const {
  CV_Assert(gray.type() == CV_8UC1 && out.type() == CV_8UC1 && out.size() == gray.size());
  const int rows = gray.rows;
  const int cols = gray.cols;
  if (rows == 0 || cols == 0) {
    return;
  }
  // Worked on the transposed window, so that both passes run along its long side: the search
  // windows are a few columns wide and the full crop tall.
  cv::Mat transposed;
  cv::transpose(gray, transposed);
  cv::Mat source;
  transposed.convertTo(source, CV_32F);
  cv::Mat row_sums(cols, rows, CV_32F);
  vertical_pass(source.ptr<float>(), cols, rows, kernel_, row_sums.ptr<float>());
  cv::Mat sums(cols, rows, CV_32F);
  horizontal_pass(row_sums.ptr<float>(), cols, rows, kernel_, sums.ptr<float>());
  cv::Mat rounded(cols, rows, CV_8U);
  for (int x = 0; x < cols; ++x) {
    const float* s = sums.ptr<float>(x);
    uint8_t* line = rounded.ptr<uint8_t>(x);
    for (int y = 0; y < rows; ++y) {
      line[y] = static_cast<uint8_t>((static_cast<uint32_t>(s[y]) + (1u << 15)) >> 16);
    }
  }
  cv::transpose(rounded, out);
}

}  // namespace tessaryn::panelsight::separator
