#include "segmark/core/classify.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "common/numeric.hpp"

namespace tessaryn::segmark {

namespace {

double clip01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

}  // namespace

std::optional<double> score_pattern(std::span<const double> acts, std::span<const uint8_t> expected) {
  const std::size_t n = std::min(acts.size(), expected.size());
  if (n == 0) {
    return std::nullopt;
  }
  std::array<double, 16> small{};
  std::vector<double> large;
  double* q = small.data();
  if (n > small.size()) {
    large.resize(n);
    q = large.data();
  }
  double worst = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    q[i] = expected[i] ? acts[i] : 1.0 - acts[i];
    worst = i == 0 ? q[i] : std::min(worst, q[i]);
  }
  return clip01(0.72 * numeric::mean_f64(q, n) + 0.28 * worst);
}

std::optional<Classification> classify_activations(const SegmentValues& strengths, const SegmentValues& acts,
                                                   const Constants& k) {
  const std::size_t count = k.patterns.size();
  if (count < 2) {
    return std::nullopt;
  }
  Classification c;
  c.strengths = strengths;
  c.activations = acts;
  c.scores.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto score = score_pattern(acts, k.patterns[i].expected);
    if (!score) {
      return std::nullopt;
    }
    c.scores[i] = *score;
  }
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  // Equal scores keep table order: the lower digit, then the lower variant, wins.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return c.scores[a] > c.scores[b]; });
  c.best = order[0];
  c.second = order[1];
  for (std::size_t i = 1; i < count; ++i) {
    if (k.patterns[order[i]].digit_index != k.patterns[c.best].digit_index) {
      c.second = order[i];
      break;
    }
  }
  const double best_score = c.scores[c.best];
  const double margin = std::max(best_score - c.scores[c.second], 0.0);
  c.confidence = clip01(0.85 * best_score + 0.15 * std::min(margin / 0.18, 1.0));
  c.accepted = best_score >= kAcceptanceThreshold;
  return c;
}

std::optional<Classification> classify_frame(const cv::Mat& frame, const Constants& k) {
  const SegmentValues strengths = segment_strengths(frame, k);
  SegmentValues acts{};
  std::transform(strengths.begin(), strengths.end(), acts.begin(), activation);
  return classify_activations(strengths, acts, k);
}

}  // namespace tessaryn::segmark
