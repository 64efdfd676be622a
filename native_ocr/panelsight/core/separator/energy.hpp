// What a search window shows of a lit separator dot: a binary mask of bright or locally detailed
// pixels and graded energies, the input of the row grouping.
#pragma once

#include <opencv2/core.hpp>

namespace tessaryn::panelsight::separator {

// Sigma of the gray blur the detail measure subtracts.
inline constexpr double kDetailBlurSigma = 7.0;

// The Gaussian blur (sigma 7, reflect-101 border) of a window's gray image.
cv::Mat detail_blur(const cv::Mat& gray);

// CV_8UC1 0/255 mask of the BGR window. `blurred_gray`, when not empty, replaces the window's own
// detail blur (it must then equal it for the result to be the same).
cv::Mat separator_mask(const cv::Mat& window, const cv::Mat& blurred_gray = cv::Mat());

struct EnergyMap {
  cv::Mat binary;       // CV_32F, 1 on the mask, 0 elsewhere
  cv::Mat gray_energy;  // CV_32F, gray above the window's background scaled to 0..1, to the power 1.5
  cv::Mat combined;     // CV_32F, 0.5 binary + 0.5 gray_energy
};

EnergyMap separator_energy_map(const cv::Mat& window, const cv::Mat& blurred_gray = cv::Mat());

}  // namespace tessaryn::panelsight::separator
