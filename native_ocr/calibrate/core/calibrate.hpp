// Settings for a zone from one still of the board: the robust profile's board-wide choices
// (colour channel, polarity, lean of the face) fixed once, so that later frames are read with the
// same choices instead of re-estimating them from whatever digits each frame shows.
#pragma once

#include <opencv2/core.hpp>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::calibrate {

namespace robust = tessaryn::panelsight::robust;

struct Suggestion {
  robust::Options options;        // channel, polarity and slant, all fixed
  int threshold = 150;            // a gray threshold for the specified path, should the profile be dropped
  bool invert = false;            // dark ink: the specified path reads it inverted
  bool read = false;              // the still read validly with these choices
  robust::FieldReading reading;   // the reading of the still under them
};

// `crop` as the robust readers take it; deterministic (no randomness, no time).
Suggestion suggest(const cv::Mat& crop, robust::FieldKind kind);

}  // namespace tessaryn::calibrate
