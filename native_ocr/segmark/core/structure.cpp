#include "segmark/core/structure.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "common/numeric.hpp"
#include "segmark/core/runs.hpp"

namespace tessaryn::segmark {

namespace {

// Longest run of non-zero columns of one row; the leftmost among equally long ones.
std::optional<Run> longest_row_run(const uint8_t* row, int cols) {
  std::optional<Run> best;
  int c = 0;
  while (c < cols) {
    if (row[c] == 0) {
      ++c;
      continue;
    }
    const int start = c;
    while (c < cols && row[c] != 0) {
      ++c;
    }
    const Run run{start, c - 1};
    if (!best || run.length() > best->length()) {
      best = run;
    }
  }
  return best;
}

int64_t max_gap_for(int64_t size, const Constants& k) {
  const double rounded = numeric::round_half_even(static_cast<double>(size) * k.marginal_run_min_gap_ratio);
  return std::max<int64_t>(static_cast<int64_t>(rounded), 1);
}

std::vector<int64_t> indices_at_least(const std::vector<double>& projection, double threshold) {
  std::vector<int64_t> indices;
  for (size_t i = 0; i < projection.size(); ++i) {
    if (projection[i] >= threshold) {
      indices.push_back(static_cast<int64_t>(i));
    }
  }
  return indices;
}

double max_or_zero(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

std::optional<ColumnSpan> horizontal_bar_extent(const cv::Mat& cell, int64_t top, int64_t bottom,
                                                int64_t stroke_thickness) {
  std::optional<std::tuple<int64_t, int64_t, int64_t>> best;  // (width, start, end)
  const int64_t min_width = 2 * std::max<int64_t>(stroke_thickness, 1);
  for (int64_t y = top; y <= bottom; ++y) {
    const auto run = longest_row_run(cell.ptr<uint8_t>(static_cast<int>(y)), cell.cols);
    if (!run || run->length() < min_width) {
      continue;
    }
    const auto candidate = std::make_tuple(run->length(), run->start, run->end);
    if (!best || candidate > *best) {
      best = candidate;
    }
  }
  if (!best) {
    return std::nullopt;
  }
  return ColumnSpan{std::get<1>(*best), std::get<2>(*best)};
}

std::optional<Structure> structural_frame(const cv::Mat& cell, const Constants& k) {
  const auto tight = tight_bounds(cell);
  if (!tight) {
    return std::nullopt;
  }
  const int64_t cell_height = cell.rows;
  const int64_t cell_width = cell.cols;
  Structure s;
  s.tight_box = *tight;

  std::vector<double> horizontal_projection(static_cast<size_t>(cell_height), 0.0);
  for (int r = 0; r < cell.rows; ++r) {
    const uint8_t* row = cell.ptr<uint8_t>(r);
    int64_t sum = 0;
    for (int c = 0; c < cell.cols; ++c) {
      sum += row[c];
    }
    horizontal_projection[static_cast<size_t>(r)] = static_cast<double>(sum);
  }
  const double horizontal_threshold =
      std::max(max_or_zero(horizontal_projection) * k.structural_projection_ratio, k.structural_min_pixels);
  const std::vector<Run> row_runs = remove_marginal_runs(
      contiguous_runs(indices_at_least(horizontal_projection, horizontal_threshold)), cell_height, k);

  if (!row_runs.empty()) {
    s.vertical_core_top = row_runs.front().start;
    s.vertical_core_bottom = row_runs.back().end;
    const auto extended = extend_from_core(horizontal_projection, row_runs, max_gap_for(cell_height, k), k);
    s.top = extended ? extended->first : s.vertical_core_top;
    s.bottom = extended ? extended->second : s.vertical_core_bottom;
  } else {
    s.vertical_core_top = s.top = tight->y1;
    s.vertical_core_bottom = s.bottom = tight->y2;
  }

  std::vector<double> vertical_projection(static_cast<size_t>(cell_width), 0.0);
  for (int64_t r = s.top; r <= s.bottom; ++r) {
    const uint8_t* row = cell.ptr<uint8_t>(static_cast<int>(r));
    for (int c = 0; c < cell.cols; ++c) {
      vertical_projection[static_cast<size_t>(c)] += row[c];
    }
  }
  const double vertical_threshold =
      std::max(max_or_zero(vertical_projection) * k.structural_projection_ratio, k.structural_min_pixels);
  const std::vector<int64_t> active_columns = indices_at_least(vertical_projection, vertical_threshold);
  s.left = active_columns.empty() ? tight->x1 : active_columns.front();
  s.right = active_columns.empty() ? tight->x2 : active_columns.back();

  const auto support = extend_from_core(vertical_projection, contiguous_runs(active_columns),
                                        max_gap_for(cell_width, k), k);
  s.support_left = support ? support->first : s.left;
  s.support_right = support ? support->second : s.right;

  s.width_ratio = static_cast<double>(s.right - s.left + 1) / static_cast<double>(std::max<int64_t>(cell_width, 1));
  const int64_t stroke_thickness = s.right - s.left + 1;

  std::vector<int64_t> run_lengths;
  for (const Run& run : row_runs) {
    run_lengths.push_back(run.length());
  }
  std::stable_sort(run_lengths.begin(), run_lengths.end(), std::greater<>());
  if (run_lengths.size() >= 2) {
    s.nominal_segment_length = static_cast<double>(run_lengths[0] + run_lengths[1]) / 2.0;
  } else if (run_lengths.size() == 1) {
    s.nominal_segment_length = static_cast<double>(run_lengths[0]);
  } else {
    s.nominal_segment_length =
        std::max(static_cast<double>(s.bottom - s.top + 1 - stroke_thickness) / 2.0, 1.0);
  }

  int64_t frame_width = static_cast<int64_t>(
      numeric::round_half_even(2.0 * static_cast<double>(stroke_thickness) + s.nominal_segment_length));
  s.horizontal_bar_extent = horizontal_bar_extent(cell, s.top, s.bottom, stroke_thickness);
  if (s.horizontal_bar_extent) {
    const int64_t bar_width = s.horizontal_bar_extent->second - s.horizontal_bar_extent->first + 1;
    frame_width = std::max(frame_width, bar_width + stroke_thickness);
  }
  s.nominal_frame_width = std::max(std::min(frame_width, cell_width), stroke_thickness);
  return s;
}

}  // namespace tessaryn::segmark
