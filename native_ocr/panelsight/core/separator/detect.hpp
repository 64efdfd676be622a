// The clock separator detector as one typed chain: search corridor, window evaluations, colon and
// decimal-point hypotheses, and the choice between the best of each kind.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "panelsight/core/separator/corridor.hpp"
#include "panelsight/core/separator/hypothesis.hpp"

namespace tessaryn::panelsight::separator {

enum class SeparatorKind { Colon, Decimal };

inline constexpr char separator_char(SeparatorKind kind) { return kind == SeparatorKind::Colon ? ':' : '.'; }

// One window read as a colon or as a decimal point.
struct Hypothesis {
  SeparatorKind kind = SeparatorKind::Colon;
  size_t window = 0;  // which evaluation, in window order
  double x = 0;       // separator column in crop columns
  double topological_score = 0;
  double final_score = 0;
  SpatialPrior prior;
};

// Where the window's candidate of `kind` sits in the window: the energy-weighted middle of a
// colon's two dots, or the column of a decimal point's dot.
std::optional<double> candidate_position(const WindowEvaluation& evaluation, SeparatorKind kind);

// The hypothesis of `kind` for a window, or none when the window has no such candidate.
std::optional<Hypothesis> make_hypothesis(const WindowEvaluation& evaluation, SeparatorKind kind, size_t window,
                                          double physical_left, double physical_right);

// Index of the first hypothesis with the largest final score (a NaN score never wins).
std::optional<size_t> best_hypothesis(std::span<const Hypothesis> hypotheses);

// The hypothesis the detector reports: among the best colon and the best decimal point that reach
// the acceptance score, the colon unless the decimal point ranks strictly above it on (final score,
// topological score).
std::optional<Hypothesis> select_hypothesis(const std::optional<Hypothesis>& best_colon,
                                            const std::optional<Hypothesis>& best_decimal);

// Whether `a` ranks strictly above `b` when both are accepted: by final score, ties by topology.
bool ranks_above(const Hypothesis& a, const Hypothesis& b);

enum class WindowBlur { Sheet, PerWindow };

struct Detection {
  Corridor corridor;
  int64_t height = 0;  // rows of the searched image
  std::vector<WindowEvaluation> windows;
  std::optional<Hypothesis> best_colon;
  std::optional<Hypothesis> best_decimal;
  Hypothesis selected;
};

// The detector on an upright BGR crop (CV_8UC3); none when no hypothesis is accepted.
// cv::Exception from OpenCV for images it refuses.
std::optional<Detection> detect_separator(const cv::Mat& source, WindowBlur blur);

// The search windows of a source, as the detector cuts them (copies).
std::vector<cv::Mat> window_views(const cv::Mat& source);

}  // namespace tessaryn::panelsight::separator
