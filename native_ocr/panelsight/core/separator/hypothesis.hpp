// Whether a window and its separator position agree with the clock layout's separator slot, and
// the hypotheses built on that agreement.
#pragma once

#include <optional>

#include "panelsight/core/separator/corridor.hpp"

namespace tessaryn::panelsight::separator {

struct SpatialPrior {
  double spatial_prior = 0;
  double overlap_ratio = 0;
  double window_prior = 0;
  double group_prior = 0;
  bool center_compatible = false;
};

SpatialPrior spatial_prior(double candidate_left, double candidate_right, double hypothesis_x,
                           double physical_left, double physical_right);

// Energy-weighted mean column of two dots, in window columns.
double colon_position(const Group& upper, const Group& lower);

// A final score below this is not a separator.
inline constexpr double kAcceptance = 0.65;

}  // namespace tessaryn::panelsight::separator
