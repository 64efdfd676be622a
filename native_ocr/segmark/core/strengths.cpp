#include "segmark/core/strengths.hpp"

#include <algorithm>

#include "segmark/core/cell.hpp"

namespace tessaryn::segmark {

SegmentValues segment_strengths(const cv::Mat& frame, const Constants& k) {
  SegmentValues s{};
  const double h = frame.rows;
  const double w = frame.cols;
  if (h < 8 || w < 5) {
    return s;
  }
  const double span = k.horizontal_probe_center_span;
  const double hx1 = (0.5 - span / 2.0) * w;
  const double hx2 = (0.5 + span / 2.0) * w;
  const double hh = std::max(0.11 * h, 2.0);
  const double a = rectangle_fill(frame, hx1, 0.02 * h, hx2, 0.02 * h + hh);
  const double g = rectangle_fill(frame, hx1, 0.5 * h - hh / 2.0, hx2, 0.5 * h + hh / 2.0);
  const double d = rectangle_fill(frame, hx1, 0.98 * h - hh, hx2, 0.98 * h);
  const double vw = std::max(0.2 * w, 2.0);
  const double f = rectangle_fill(frame, 0.0, 0.15 * h, vw, 0.42 * h);
  const double b = rectangle_fill(frame, w - vw, 0.15 * h, w, 0.42 * h);
  const double e = rectangle_fill(frame, 0.0, 0.58 * h, vw, 0.85 * h);
  const double c = rectangle_fill(frame, w - vw, 0.58 * h, w, 0.85 * h);
  s = {a, b, c, d, e, f, g};
  return s;
}

double activation(double strength) {
  const double v = strength / 0.3;
  // Clipping keeps NaN as NaN, as NumPy's clip does.
  return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
}

}  // namespace tessaryn::segmark
