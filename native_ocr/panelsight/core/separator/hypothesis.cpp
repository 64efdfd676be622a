#include "panelsight/core/separator/hypothesis.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace tessaryn::panelsight::separator {

SpatialPrior spatial_prior(double candidate_left, double candidate_right, double hypothesis_x,
                           double physical_left, double physical_right) {
  const double physical_width = std::max(physical_right - physical_left + 1, 1.0);
  const double physical_center = (physical_left + physical_right) / 2.0;
  const double candidate_center = (candidate_left + candidate_right) / 2.0;
  const double overlap =
      std::max(0.0, std::min(candidate_right, physical_right) - std::max(candidate_left, physical_left) + 1);
  SpatialPrior p;
  p.overlap_ratio = numeric::clip(overlap / physical_width, 0.0, 1.0);
  const double deadband = physical_width * 0.15;
  const double window_excess = std::max(0.0, std::abs(candidate_center - physical_center) - deadband);
  const double group_excess = std::max(0.0, std::abs(hypothesis_x - physical_center) - deadband);
  const double window_spread = window_excess / std::max(physical_width * 0.45, 1.0);
  const double group_spread = group_excess / std::max(physical_width * 0.65, 1.0);
  p.window_prior = std::exp(-0.5 * (window_spread * window_spread));
  p.group_prior = std::exp(-0.5 * (group_spread * group_spread));
  const double center_margin = physical_width * 0.15;
  p.center_compatible =
      physical_left - center_margin <= hypothesis_x && hypothesis_x <= physical_right + center_margin;
  const double prior = p.center_compatible ? (p.window_prior * p.overlap_ratio) * p.group_prior : 0.0;
  p.spatial_prior = numeric::clip(prior, 0.0, 1.0);
  return p;
}

double colon_position(const Group& upper, const Group& lower) {
  const double total = upper.energy + lower.energy;
  return (upper.center_x * upper.energy + lower.center_x * lower.energy) / std::max(total, 1.0);
}

}  // namespace tessaryn::panelsight::separator
