// The processing settings a zone gets for every key it does not set itself.
#pragma once

#include <string_view>

namespace tessaryn::panelsight {

struct ProcessingDefaults {
  int threshold = 150;
  double contrast = 1.0;
  int brightness = 0;
  double gamma = 1.0;
  double rotation = 0.0;  // degrees, counter-clockwise positive
  int blur = 0;           // Gaussian kernel size, 0 = off
  std::string_view morphology = "none";
  int morph_size = 1;
  bool grayscale = true;  // carried only: preparation always works in gray
  bool binarize = true;
  bool invert = false;
};

inline constexpr ProcessingDefaults kProcessingDefaults{};

}  // namespace tessaryn::panelsight
