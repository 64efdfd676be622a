// The lean of italic faces: the shear under which the ink's column profile is sharpest, since the
// vertical bars of every digit then fall into the fewest columns.
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::robust {

namespace {

// Leans between a slight backward tilt (camera roll) and the steepest italic faces (about 12°);
// italic faces only ever lean forward.
constexpr double kMinSlant = -0.04;
constexpr double kMaxSlant = 0.22;

struct InkPoints {
  std::vector<float> x;
  std::vector<float> dy;  // row minus centre row
};

InkPoints ink_points(const cv::Mat& binary) {
  InkPoints p;
  const float centre = (binary.rows - 1) / 2.0f;
  for (int r = 0; r < binary.rows; ++r) {
    const uint8_t* row = binary.ptr<uint8_t>(r);
    for (int c = 0; c < binary.cols; ++c) {
      if (row[c] != 0) {
        p.x.push_back(static_cast<float>(c));
        p.dy.push_back(static_cast<float>(r) - centre);
      }
    }
  }
  return p;
}

double sharpness(const InkPoints& p, double slant, int cols, int pad, std::vector<int>& profile) {
  std::fill(profile.begin(), profile.end(), 0);
  for (size_t i = 0; i < p.x.size(); ++i) {
    const int column = static_cast<int>(std::lround(p.x[i] + slant * p.dy[i])) + pad;
    if (column >= 0 && column < static_cast<int>(profile.size())) {
      ++profile[column];
    }
  }
  (void)cols;
  double sum = 0.0;
  for (int v : profile) {
    sum += static_cast<double>(v) * v;
  }
  return sum;
}

}  // namespace

double estimate_slant(const cv::Mat& binary) {
  const InkPoints points = ink_points(binary);
  if (points.x.size() < 20) {
    return 0.0;
  }
  const int pad = static_cast<int>(std::ceil(std::max(-kMinSlant, kMaxSlant) * binary.rows)) + 1;
  std::vector<int> profile(binary.cols + 2 * pad);
  double best = 0.0;
  double best_score = -1.0;
  // Coarse steps, then a finer look around the best; ties keep the smaller lean.
  for (double s = kMinSlant; s <= kMaxSlant + 1e-9; s += 0.02) {
    const double score = sharpness(points, s, binary.cols, pad, profile);
    if (score > best_score * (1.0 + 1e-9) || (score >= best_score && std::abs(s) < std::abs(best))) {
      best_score = score;
      best = s;
    }
  }
  const double centre = best;
  for (double s = centre - 0.015; s <= centre + 0.015 + 1e-9; s += 0.005) {
    const double score = sharpness(points, s, binary.cols, pad, profile);
    if (score > best_score * (1.0 + 1e-9)) {
      best_score = score;
      best = s;
    }
  }
  // A face that is as sharp upright as leaning (a lone 1, a blank zone) is read upright. Only nearly as
  // sharp: blur fattens the bars of a small italic digit until upright is within a few percent of its
  // true lean, and read upright its bars spill into the neighbouring probes.
  const double upright = sharpness(points, 0.0, binary.cols, pad, profile);
  if (upright >= best_score * 0.985) {
    return 0.0;
  }
  return std::round(best * 1000.0) / 1000.0;
}

cv::Mat shear(const cv::Mat& image, double slant, int* pad) {
  const int p = static_cast<int>(std::ceil(std::abs(slant) * image.rows / 2.0)) + 1;
  *pad = p;
  if (slant == 0.0) {
    cv::Mat out;
    cv::copyMakeBorder(image, out, 0, 0, p, p, cv::BORDER_CONSTANT, cv::Scalar(0));
    return out;
  }
  const double centre = (image.rows - 1) / 2.0;
  // x' = x + slant * (y - centre) + pad
  const cv::Matx23d m(1.0, slant, p - slant * centre, 0.0, 1.0, 0.0);
  cv::Mat out;
  cv::warpAffine(image, out, m, cv::Size(image.cols + 2 * p, image.rows), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                 cv::Scalar(0));
  return out;
}

}  // namespace tessaryn::panelsight::robust
