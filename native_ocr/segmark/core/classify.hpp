// Scores segment activations against every seven-segment pattern and picks the digit.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "segmark/core/constants.hpp"
#include "segmark/core/strengths.hpp"

namespace tessaryn::segmark {

inline constexpr double kAcceptanceThreshold = 0.58;

// How well the activations agree with a pattern, 0..1: mostly the mean agreement, partly the worst
// segment, so one clearly wrong segment costs more than many slightly uncertain ones. Pairs stop at
// the shorter of the two; nothing when there is no pair.
std::optional<double> score_pattern(std::span<const double> acts, std::span<const uint8_t> expected);

struct Classification {
  SegmentValues strengths{};
  SegmentValues activations{};
  std::vector<double> scores;  // per pattern, in table order
  std::size_t best = 0;        // indices into the pattern table
  std::size_t second = 0;
  bool accepted = false;  // best score reached the acceptance threshold
  double confidence = 0.0;
};

// Classifies from given activations. Needs at least two patterns; with fewer the runner-up does
// not exist and nothing is returned.
std::optional<Classification> classify_activations(const SegmentValues& strengths, const SegmentValues& acts,
                                                   const Constants& k);

std::optional<Classification> classify_frame(const cv::Mat& frame, const Constants& k);

}  // namespace tessaryn::segmark
