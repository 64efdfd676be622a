// Boxes: [x1, y1, x2, y2] in whole pixels, all four inclusive.
#pragma once

#include <array>

namespace tessaryn::panelsight {

using Box = std::array<double, 4>;

// Coordinates computed in fractions of a pixel are rounded to the nearest whole pixel with ties to
// the even neighbour, so that a box lands where the agent's own rounding of the same value lands.
// A non-finite coordinate stays as it is; it has no pixel and the caller must reject it.
double round_box_coordinate(double value);

Box round_box(double x1, double y1, double x2, double y2);

}  // namespace tessaryn::panelsight
