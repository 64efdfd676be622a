// The reader's tunable thresholds. The Python module keeps them as module attributes and reads them
// on every call, so the core takes them as an argument instead of hard-coding them.
#pragma once

#include <cstdint>
#include <vector>

namespace tessaryn::segmark {

inline constexpr int kSegmentCount = 7;  // A, B, C, D, E, F, G

// One seven-segment pattern of the digit table. `digit_index` tells patterns of the same digit
// apart (the runner-up must be another digit); `expected` holds whether each segment is lit.
struct Pattern {
  int64_t digit_index = 0;
  int64_t variant = 0;
  std::vector<uint8_t> expected;
};

struct Constants {
  double structural_projection_ratio = 0.2;
  double structural_min_pixels = 2;
  double marginal_run_max_height_ratio = 0.1;
  double marginal_run_min_gap_ratio = 0.03;
  double wide_glyph_min_width_ratio = 0.45;
  double horizontal_probe_center_span = 0.5;
  double vertical_stroke_max_width_ratio = 1.8;
  double vertical_stroke_max_aspect = 0.45;
  double vertical_stroke_min_rows = 4;
  double component_min_area = 4;
  double component_area_fraction = 0.15;
  std::vector<Pattern> patterns;  // in table order: digits ascending, variants in list order
};

// The standard table: eleven patterns, the 9 with and without its bottom bar.
std::vector<Pattern> standard_patterns();

}  // namespace tessaryn::segmark
