#include "panelsight/core/box.hpp"

#include "common/numeric.hpp"

namespace tessaryn::panelsight {

double round_box_coordinate(double value) { return numeric::round_half_even(value); }

Box round_box(double x1, double y1, double x2, double y2) {
  return Box{round_box_coordinate(x1), round_box_coordinate(y1), round_box_coordinate(x2),
             round_box_coordinate(y2)};
}

}  // namespace tessaryn::panelsight
