#include "panelsight/core/separator/detect.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "panelsight/core/separator/sheet_blur.hpp"

namespace tessaryn::panelsight::separator {

namespace {

// The sigma of the detail blur the energy map uses.
constexpr double kDetailSigma = 7.0;

}  // namespace

std::optional<double> candidate_position(const WindowEvaluation& e, SeparatorKind kind) {
  const std::vector<Group>& groups = e.groups.groups;
  if (kind == SeparatorKind::Colon) {
    if (!e.topology.colon) {
      return std::nullopt;
    }
    return colon_position(groups[e.topology.colon->upper], groups[e.topology.colon->lower]);
  }
  if (!e.topology.decimal) {
    return std::nullopt;
  }
  return groups[e.topology.decimal->lower].center_x;
}

std::optional<Hypothesis> make_hypothesis(const WindowEvaluation& e, SeparatorKind kind, size_t window,
                                          double physical_left, double physical_right) {
  const std::optional<double> local_x = candidate_position(e, kind);
  if (!local_x) {
    return std::nullopt;
  }
  Hypothesis h;
  h.kind = kind;
  h.window = window;
  h.topological_score = kind == SeparatorKind::Colon ? e.topology.colon_score() : e.topology.decimal_score();
  const double left = static_cast<double>(e.span.left);
  h.x = left + *local_x;
  h.prior = spatial_prior(left, static_cast<double>(e.span.right), h.x, physical_left, physical_right);
  h.final_score = h.topological_score * h.prior.spatial_prior;
  return h;
}

std::optional<size_t> best_hypothesis(std::span<const Hypothesis> hypotheses) {
  std::optional<size_t> best;
  for (size_t i = 0; i < hypotheses.size(); ++i) {
    if (!best || hypotheses[i].final_score > hypotheses[*best].final_score) {
      best = i;
    }
  }
  return best;
}

bool ranks_above(const Hypothesis& a, const Hypothesis& b) {
  if (a.final_score == b.final_score) {
    return a.topological_score > b.topological_score;
  }
  return a.final_score > b.final_score;
}

std::optional<Hypothesis> select_hypothesis(const std::optional<Hypothesis>& best_colon,
                                            const std::optional<Hypothesis>& best_decimal) {
  const auto accepted = [](const std::optional<Hypothesis>& h) { return h && h->final_score >= kAcceptance; };
  if (accepted(best_colon)) {
    if (accepted(best_decimal) && ranks_above(*best_decimal, *best_colon)) {
      return best_decimal;
    }
    return best_colon;
  }
  if (accepted(best_decimal)) {
    return best_decimal;
  }
  return std::nullopt;
}

std::vector<cv::Mat> window_views(const cv::Mat& source) {
  const Corridor corridor = search_corridor(source.cols, source.rows);
  std::vector<cv::Mat> views;
  for (const int64_t start : window_starts(corridor)) {
    const WindowSpan span = place_window(start, corridor.window_width, source.cols);
    const int width = static_cast<int>(std::max<int64_t>(0, span.right - span.left + 1));
    views.push_back(source(cv::Rect(static_cast<int>(span.left), 0, width, source.rows)).clone());
  }
  return views;
}

std::optional<Detection> detect_separator(const cv::Mat& source, WindowBlur blur) {
  Detection d;
  d.height = source.rows;
  d.corridor = search_corridor(source.cols, source.rows);
  const std::vector<int64_t> starts = window_starts(d.corridor);
  std::vector<cv::Mat> blurs;
  if (blur == WindowBlur::Sheet) {
    std::vector<cv::Mat> grays;
    for (const cv::Mat& view : window_views(source)) {
      cv::Mat gray;
      cv::cvtColor(view, gray, cv::COLOR_BGR2GRAY);
      grays.push_back(gray);
    }
    blurs = reflected_sheet_blurs(grays, kDetailSigma);
  }
  std::vector<Hypothesis> colons;
  std::vector<Hypothesis> decimals;
  const auto left = static_cast<double>(d.corridor.physical_left);
  const auto right = static_cast<double>(d.corridor.physical_right);
  for (size_t i = 0; i < starts.size(); ++i) {
    d.windows.push_back(evaluate_window(source, starts[i], d.corridor.window_width,
                                        blurs.empty() ? cv::Mat() : blurs[i]));
    if (auto h = make_hypothesis(d.windows.back(), SeparatorKind::Colon, i, left, right)) {
      colons.push_back(*h);
    }
    if (auto h = make_hypothesis(d.windows.back(), SeparatorKind::Decimal, i, left, right)) {
      decimals.push_back(*h);
    }
  }
  if (const auto i = best_hypothesis(colons)) {
    d.best_colon = colons[*i];
  }
  if (const auto i = best_hypothesis(decimals)) {
    d.best_decimal = decimals[*i];
  }
  const std::optional<Hypothesis> selected = select_hypothesis(d.best_colon, d.best_decimal);
  if (!selected) {
    return std::nullopt;
  }
  d.selected = *selected;
  return d;
}

}  // namespace tessaryn::panelsight::separator
