// Segment levels and digit decisions. Levels are measured on the ink image, not on a binary one,
// so that ghosted (faintly lit) segments and washed-out digits are told apart by comparing levels
// across the field instead of against one fixed threshold.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::robust {

namespace {

// Segment order A, B, C, D, E, F, G. Each face a board shows: 6 with and without its top bar, 7
// with and without its upper-left bar, 9 with and without its bottom bar.
struct Pattern {
  int digit;
  std::array<int, 7> lit;
};
constexpr std::array<Pattern, 14> kPatterns{{
    {0, {1, 1, 1, 1, 1, 1, 0}}, {1, {0, 1, 1, 0, 0, 0, 0}}, {2, {1, 1, 0, 1, 1, 0, 1}},
    {3, {1, 1, 1, 1, 0, 0, 1}}, {4, {0, 1, 1, 0, 0, 1, 1}}, {5, {1, 0, 1, 1, 0, 1, 1}},
    {6, {1, 0, 1, 1, 1, 1, 1}}, {6, {0, 0, 1, 1, 1, 1, 1}}, {7, {1, 1, 1, 0, 0, 0, 0}},
    {7, {1, 1, 1, 0, 0, 1, 0}}, {8, {1, 1, 1, 1, 1, 1, 1}}, {9, {1, 1, 1, 1, 0, 1, 1}},
    {9, {1, 1, 1, 0, 0, 1, 1}}, {1, {0, 0, 0, 0, 1, 1, 0}},  // a 1 drawn on the left bars
}};

// Clamps the inclusive box into the image; false when nothing of it is left.
bool clamp_box(const cv::Mat& ink, int& x1, int& y1, int& x2, int& y2) {
  x1 = std::clamp(x1, 0, ink.cols - 1);
  x2 = std::clamp(x2, 0, ink.cols - 1);
  y1 = std::clamp(y1, 0, ink.rows - 1);
  y2 = std::clamp(y2, 0, ink.rows - 1);
  return x1 <= x2 && y1 <= y2;
}

// Median of the per-line maxima of a region: every scanline across a lit bar meets ink, a gap or
// a dot-matrix hole only some of them.
double bar_level(const cv::Mat& ink, int x1, int y1, int x2, int y2, bool horizontal, double rank = 0.5) {
  if (!clamp_box(ink, x1, y1, x2, y2)) {
    return 0.0;
  }
  std::vector<int> maxima;
  if (horizontal) {
    for (int c = x1; c <= x2; ++c) {
      int m = 0;
      for (int r = y1; r <= y2; ++r) {
        m = std::max(m, static_cast<int>(ink.at<uint8_t>(r, c)));
      }
      maxima.push_back(m);
    }
  } else {
    for (int r = y1; r <= y2; ++r) {
      const uint8_t* row = ink.ptr<uint8_t>(r);
      maxima.push_back(*std::max_element(row + x1, row + x2 + 1));
    }
  }
  if (rank < 0.5) {
    // Dark columns in one run are a gap in the bar (two bar tips that never meet); in several
    // runs they are the holes between the round LEDs of a dot-matrix bar, which is lit.
    const int top = *std::max_element(maxima.begin(), maxima.end());
    int runs = 0;
    bool dark_before = false;
    for (int m : maxima) {
      const bool dark = 2 * m < top;
      runs += dark && !dark_before;
      dark_before = dark;
    }
    if (runs > 1) {
      rank = 0.5;
    }
  }
  const size_t mid = static_cast<size_t>(rank * (maxima.size() - 1) + 0.5);
  std::nth_element(maxima.begin(), maxima.begin() + mid, maxima.end());
  return maxima[mid];
}

// A lit horizontal bar is ink across nearly its whole length; the tips of two leaning vertical bars
// reach into only part of it. Its level is taken low in the spread of its columns.
constexpr double kAcross = 0.2;

// Where the field shows no unlit bar, an 8 whose middle or lower-left bar sinks to this level has no
// confidence left; it regains it over the next 0.2 of the ink.
constexpr double kLoneEightFloor = 0.63;

double region_mean(const cv::Mat& ink, int x1, int y1, int x2, int y2) {
  if (!clamp_box(ink, x1, y1, x2, y2)) {
    return 0.0;
  }
  return cv::mean(ink(cv::Rect(x1, y1, x2 - x1 + 1, y2 - y1 + 1)))[0];
}

double percentile_of(const cv::Mat& region, double fraction) {
  std::array<int, 256> counts{};
  int total = 0;
  for (int r = 0; r < region.rows; ++r) {
    const uint8_t* row = region.ptr<uint8_t>(r);
    for (int c = 0; c < region.cols; ++c) {
      ++counts[row[c]];
      ++total;
    }
  }
  int seen = 0;
  for (int v = 0; v < 256; ++v) {
    seen += counts[v];
    if (seen >= fraction * total && seen > 0) {
      return v;
    }
  }
  return 255;
}

// Low and high means of a set of levels (two-cluster split, started at the extremes).
std::pair<double, double> two_levels(const std::vector<double>& values) {
  double low = 0.0;
  double high = 1.0;
  for (int iteration = 0; iteration < 8; ++iteration) {
    const double split = (low + high) / 2.0;
    double sl = 0, sh = 0;
    int nl = 0, nh = 0;
    for (double v : values) {
      if (v < split) {
        sl += v;
        ++nl;
      } else {
        sh += v;
        ++nh;
      }
    }
    low = nl ? sl / nl : 0.0;
    high = nh ? sh / nh : 1.0;
  }
  return {low, high};
}

// Motion blur smears bars across their width only when they stand across its direction: a pan
// leaves the horizontal bars at full brightness and dims every vertical one (lit and ghosted
// alike), so that lit verticals sink towards the ghosts of the horizontals. The lit level of each
// orientation is measured across the field and the dimmer one is raised to the brighter. Only
// when both orientations show lit and unlit bars apart: a field of wide 1s has no lit horizontal
// to measure against.
void balance_orientations(const std::vector<SegmentProbe>& probes, const std::vector<DigitReading>& out,
                          std::vector<std::array<double, 7>>& rel) {
  constexpr std::array<int, 3> kHorizontal{0, 3, 6};
  constexpr std::array<int, 4> kVertical{1, 2, 4, 5};
  std::vector<double> h, v;
  for (size_t i = 0; i < probes.size(); ++i) {
    // Only digits lit at the field's level: a blank position's ghosts say nothing of lit bars.
    if (probes[i].ink_level <= 0.0 || probes[i].narrow || out[i].ink_level < 0.42) {
      continue;
    }
    for (int s : kHorizontal) {
      h.push_back(rel[i][s]);
    }
    for (int s : kVertical) {
      v.push_back(rel[i][s]);
    }
  }
  if (h.empty()) {
    return;
  }
  h.push_back(0.0);  // the panel anchors the unlit side of each
  v.push_back(0.0);
  const auto [h_low, h_high] = two_levels(h);
  const auto [v_low, v_high] = two_levels(v);
  if (h_high - h_low < 0.3 || v_high - v_low < 0.3 || h_high <= 0.0 || v_high <= 0.0) {
    return;
  }
  const double ratio = v_high / h_high;
  if (ratio > 0.9 && ratio < 1.0 / 0.9) {
    return;  // within what bar widths and rounding do on a sharp face
  }
  const double gain = std::min(2.0, ratio < 1.0 ? 1.0 / ratio : ratio);
  for (size_t i = 0; i < probes.size(); ++i) {
    if (probes[i].ink_level <= 0.0 || probes[i].narrow) {
      continue;
    }
    if (ratio < 1.0) {
      for (int s : kVertical) {
        rel[i][s] = std::min(1.0, rel[i][s] * gain);
      }
    } else {
      for (int s : kHorizontal) {
        rel[i][s] = std::min(1.0, rel[i][s] * gain);
      }
    }
  }
}

}  // namespace

std::optional<int> digit_of_segments(const std::array<int, 7>& segments) {
  for (const Pattern& p : kPatterns) {
    if (p.lit == segments) {
      return p.digit;
    }
  }
  return std::nullopt;
}

SegmentProbe probe_digit(const cv::Mat& ink, const cv::Rect& box, double reference_width) {
  SegmentProbe p;
  const cv::Rect clipped = box & cv::Rect(0, 0, ink.cols, ink.rows);
  if (clipped.empty()) {
    return p;
  }
  p.ink_level = percentile_of(ink(clipped), 0.95);
  const double w = clipped.width;
  const double h = clipped.height;
  const int x1 = clipped.x;
  const int y1 = clipped.y;
  const int x2 = clipped.x + clipped.width - 1;
  const int y2 = clipped.y + clipped.height - 1;
  auto X = [&](double f) { return x1 + static_cast<int>(std::lround(f * (w - 1))); };
  auto Y = [&](double f) { return y1 + static_cast<int>(std::lround(f * (h - 1))); };

  if (w < 0.5 * reference_width) {
    // One bar: a 1 (its two halves may be split by the segment gap; it is not an 8 for that).
    p.narrow = true;
    int upper = 0;
    int lower = 0;
    const int mid = Y(0.5);
    const double need = 0.5 * p.ink_level;
    for (int r = y1; r <= y2; ++r) {
      const uint8_t* row = ink.ptr<uint8_t>(r);
      const bool hit = *std::max_element(row + x1, row + x2 + 1) >= need;
      if (hit) {
        (r < mid ? upper : lower) += 1;
      }
    }
    const double half = std::max(1.0, h / 2.0);
    p.bar_coverage = std::min(upper / half, lower / half);
    // The bar lights B and C of the digit's own box.
    p.levels = {0, p.ink_level, p.ink_level, 0, 0, 0, 0};
    return p;
  }
  // Across-bar reach: the outer 30 % of the box on each side holds a vertical bar, the top, middle
  // and bottom fifths a horizontal one; the probes stay clear of the corners where bars meet.
  p.levels[0] = bar_level(ink, X(0.32), y1, X(0.68), Y(0.22), true, kAcross);
  p.levels[1] = bar_level(ink, X(0.62), Y(0.18), x2, Y(0.40), false);
  p.levels[2] = bar_level(ink, X(0.62), Y(0.60), x2, Y(0.82), false);
  p.levels[3] = bar_level(ink, X(0.32), Y(0.78), X(0.68), y2, true, kAcross);
  p.levels[4] = bar_level(ink, x1, Y(0.60), X(0.38), Y(0.82), false);
  p.levels[5] = bar_level(ink, x1, Y(0.18), X(0.38), Y(0.40), false);
  p.levels[6] = bar_level(ink, X(0.32), Y(0.38), X(0.68), Y(0.62), true, kAcross);
  p.upper_counter = region_mean(ink, X(0.40), Y(0.25), X(0.60), Y(0.35));
  p.lower_counter = region_mean(ink, X(0.40), Y(0.65), X(0.60), Y(0.75));
  return p;
}

std::vector<DigitReading> classify_digits(const std::vector<SegmentProbe>& probes,
                                          const std::vector<cv::Rect>& boxes, double min_confidence) {
  std::vector<DigitReading> out(probes.size());
  double field_level = 0.0;
  for (const SegmentProbe& p : probes) {
    field_level = std::max(field_level, p.ink_level);
  }
  if (field_level <= 0.0) {
    return out;
  }
  // Levels of each digit relative to its own ink: glare and a dim LED change a digit's brightness,
  // not the ratio of its lit to its unlit bars.
  std::vector<std::array<double, 7>> rel(probes.size());
  for (size_t i = 0; i < probes.size(); ++i) {
    const SegmentProbe& p = probes[i];
    out[i].box = boxes[i];
    out[i].ink_level = p.ink_level / field_level;
    if (p.ink_level <= 0.0) {
      continue;
    }
    for (int s = 0; s < 7; ++s) {
      rel[i][s] = std::min(1.0, p.levels[s] / p.ink_level);
    }
  }
  balance_orientations(probes, out, rel);
  std::vector<double> pool{0.0};  // the panel itself anchors the unlit side
  for (size_t i = 0; i < probes.size(); ++i) {
    if (probes[i].ink_level > 0.0 && !probes[i].narrow) {
      pool.insert(pool.end(), rel[i].begin(), rel[i].end());
    }
  }
  // Two levels across the field: lit bars near 1, unlit ones at the panel or at a ghost's level.
  auto [low, high] = two_levels(pool);
  if (high - low < 0.35) {
    // Every bar alike (an 8, or nothing but ghosts): judge against the ink itself.
    low = 0.0;
    high = 1.0;
  }
  const double split = std::clamp((low + high) / 2.0, 0.35, 0.75);
  const double spread = std::max(0.1, (high - low) / 2.0);
  // How cleanly the levels fall into their two groups. Blur, bloom and strong ghosts smear them
  // into one continuum, where no single split is to be trusted: every digit's confidence shrinks.
  double var_low = 0.0, var_high = 0.0;
  int n_low = 0, n_high = 0;
  for (double v : pool) {
    if (v < split) {
      var_low += (v - low) * (v - low);
      ++n_low;
    } else {
      var_high += (v - high) * (v - high);
      ++n_high;
    }
  }
  const double sigma = (n_low ? std::sqrt(var_low / n_low) : 0.0) + (n_high ? std::sqrt(var_high / n_high) : 0.0);
  const double separation = (high - low) / (sigma + 0.02);
  const double separation_factor = std::clamp(separation / 3.0, 0.0, 1.0);
  const bool field_shows_unlit = n_low > 1;  // more than the panel's own anchor

  for (size_t i = 0; i < probes.size(); ++i) {
    const SegmentProbe& p = probes[i];
    DigitReading& d = out[i];
    d.levels = rel[i];
    // A position lit only as faintly as the ghosts of its neighbours is blank.
    if (p.ink_level <= 0.0 || d.ink_level < 0.42) {
      // Unless its own bars differ: a ghost lights every bar alike, a washed-out digit only some.
      double lo = 1.0;
      double hi = 0.0;
      for (int s = 0; s < 7 && !p.narrow; ++s) {
        lo = std::min(lo, rel[i][s]);
        hi = std::max(hi, rel[i][s]);
      }
      if (d.ink_level >= 0.12 && !p.narrow && hi - lo >= 0.5) {
        d.status = DigitStatus::Unknown;
        d.note = "faint";
        d.confidence = 0.0;
        continue;
      }
      d.status = DigitStatus::Empty;
      d.confidence = 1.0 - d.ink_level;
      continue;
    }
    if (p.narrow) {
      d.segments = {0, 1, 1, 0, 0, 0, 0};
      d.confidence = std::clamp((p.bar_coverage - 0.45) / 0.4, 0.0, 1.0);
      if (d.confidence >= min_confidence) {
        d.status = DigitStatus::Digit;
        d.digit = 1;
      } else {
        d.status = DigitStatus::Unknown;
        d.note = "short_bar";
      }
      continue;
    }
    std::array<double, 7> margin{};
    for (int s = 0; s < 7; ++s) {
      d.segments[s] = rel[i][s] >= split ? 1 : 0;
      margin[s] = std::abs(rel[i][s] - split) / spread;
    }
    // How much evidence stands between this reading and any other digit: the margins of every bar
    // that would have to be judged the other way. A doubtful bar whose flip gives no digit at all
    // does not make the reading doubtful; two half-doubtful ones that together spell another digit do.
    const std::optional<int> read = digit_of_segments(d.segments);
    double confidence = 1.0;
    for (const Pattern& other : kPatterns) {
      if (read && other.digit == *read) {
        continue;
      }
      double cost = 0.0;
      for (int s = 0; s < 7; ++s) {
        if (other.lit[s] != d.segments[s]) {
          cost += margin[s];
        }
      }
      confidence = std::min(confidence, cost);
    }
    // Every digit has two dark counters; a slot that is ink all over is a flooded or glaring
    // blob, not an 8.
    // (Blur fills the counters of small digits part way; only ink as strong as the bars counts.)
    const double counter = std::max(p.upper_counter, p.lower_counter) / p.ink_level;
    d.confidence = std::clamp(confidence * separation_factor, 0.0, 1.0);
    if (counter >= std::max(split, 0.7)) {
      d.status = DigitStatus::Unknown;
      d.note = "solid";
      continue;
    }
    const std::optional<int> digit = digit_of_segments(d.segments);
    double unlit_sum = 0.0;
    int unlit = 0;
    for (int s = 0; s < 7; ++s) {
      if (!d.segments[s]) {
        unlit_sum += rel[i][s];
        ++unlit;
      }
    }
    const bool ghosted = unlit > 0 && unlit_sum / unlit > 0.1;
    if (!digit || (*digit == 1 && !ghosted)) {
      // A 1 fills a wide box only on a face whose unlit bars show as ghosts; otherwise its bar
      // stands alone, and a wide box with one bar lit is something else.
      d.status = DigitStatus::Unknown;
      d.note = "pattern";
      d.confidence = std::min(d.confidence, 0.0);
      continue;
    }
    if (*digit == 8 && !field_shows_unlit) {
      // Nothing in the field shows what an unlit bar looks like on this face, and blur or a lean
      // carries light into the dark middle bar of a 0 or the lower-left bar of a 9: an 8 there has
      // to show those two bars near the strength of its ink.
      const double weakest = std::min(rel[i][4], rel[i][6]);
      d.confidence = std::min(d.confidence, std::clamp((weakest - kLoneEightFloor) / 0.2, 0.0, 1.0));
    }
    if (d.confidence < min_confidence) {
      d.status = DigitStatus::Unknown;
      d.note = "weak";
      d.digit = digit;  // kept as evidence; the field is not valid
      continue;
    }
    d.status = DigitStatus::Digit;
    d.digit = digit;
  }
  return out;
}

}  // namespace tessaryn::panelsight::robust
