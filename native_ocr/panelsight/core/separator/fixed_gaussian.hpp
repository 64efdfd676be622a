// OpenCV's Gaussian blur of 8-bit images is exact integer arithmetic: a separable kernel of
// integers summing to 256 (8 fraction bits), a row pass into 16-bit sums, a column pass into
// 32-bit sums and a rounding shift by 16. Computing only the pixels the search windows need,
// with the same kernel, gives the same bytes at a fraction of the cost of a blur of the whole
// sheet; the kernel is read off OpenCV itself and the equality checked before first use.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace tessaryn::panelsight::separator {

class FixedPointGaussian {
 public:
  // The blur for `sigma` with kernel size derived from it, or nullptr when this OpenCV build does
  // not blur as modelled here (then OpenCV's own blur must be used).
  static const FixedPointGaussian* for_sigma(double sigma);

  // Writes the blur of `gray` (CV_8UC1) with reflect-101 borders into `out` (same size, CV_8UC1).
  void blur(const cv::Mat& gray, cv::Mat& out) const;

 private:
  explicit FixedPointGaussian(std::vector<float> kernel) : kernel_(std::move(kernel)) {}
  static const FixedPointGaussian* extract(double sigma);

  std::vector<float> kernel_;  // 2r + 1 whole-number taps, sum 256
};

}  // namespace tessaryn::panelsight::separator
