#include "segmark/core/runs.hpp"

#include <algorithm>

namespace tessaryn::segmark {

std::vector<Run> contiguous_runs(const std::vector<int64_t>& ascending_indices) {
  std::vector<Run> runs;
  if (ascending_indices.empty()) {
    return runs;
  }
  int64_t start = ascending_indices.front();
  int64_t previous = start;
  for (size_t i = 1; i < ascending_indices.size(); ++i) {
    const int64_t value = ascending_indices[i];
    if (value > previous + 1) {
      runs.push_back({start, previous});
      start = value;
    }
    previous = value;
  }
  runs.push_back({start, previous});
  return runs;
}

std::vector<Run> remove_marginal_runs(std::vector<Run> runs, int64_t cell_height, const Constants& k) {
  const double max_height = static_cast<double>(cell_height) * k.marginal_run_max_height_ratio;
  const double min_gap = static_cast<double>(cell_height) * k.marginal_run_min_gap_ratio;
  size_t first = 0;
  size_t last = runs.size();  // one past
  while (last - first >= 2) {
    const Run& run = runs[first];
    const double gap = static_cast<double>(runs[first + 1].start - run.end - 1);
    if (run.start != 0 || static_cast<double>(run.length()) > max_height || gap < min_gap) {
      break;
    }
    ++first;
  }
  while (last - first >= 2) {
    const Run& run = runs[last - 1];
    const double gap = static_cast<double>(run.start - runs[last - 2].end - 1);
    if (run.end != cell_height - 1 || static_cast<double>(run.length()) > max_height || gap < min_gap) {
      break;
    }
    --last;
  }
  return std::vector<Run>(runs.begin() + static_cast<std::ptrdiff_t>(first),
                          runs.begin() + static_cast<std::ptrdiff_t>(last));
}

std::optional<std::pair<int64_t, int64_t>> extend_from_core(const std::vector<double>& projection,
                                                            const std::vector<Run>& core_runs,
                                                            int64_t max_gap, const Constants& k) {
  std::vector<int64_t> weak_indices;
  for (size_t i = 0; i < projection.size(); ++i) {
    if (projection[i] >= k.structural_min_pixels) {
      weak_indices.push_back(static_cast<int64_t>(i));
    }
  }
  const std::vector<Run> weak_runs = contiguous_runs(weak_indices);
  std::vector<bool> linked(weak_runs.size(), false);
  bool any = false;
  int64_t top = 0;
  int64_t bottom = 0;
  for (size_t i = 0; i < weak_runs.size(); ++i) {
    const bool touches = std::any_of(core_runs.begin(), core_runs.end(),
                                     [&](const Run& core) { return runs_overlap(weak_runs[i], core); });
    if (touches) {
      top = any ? std::min(top, weak_runs[i].start) : weak_runs[i].start;
      bottom = any ? std::max(bottom, weak_runs[i].end) : weak_runs[i].end;
      linked[i] = true;
      any = true;
    }
  }
  if (!any) {
    return std::nullopt;
  }
  // Weak runs are distinct, so "already linked" by value is the same as by position. Each pass sees
  // the extent grown by the runs linked earlier in the same pass.
  bool changed = true;
  while (changed) {
    changed = false;
    for (size_t i = 0; i < weak_runs.size(); ++i) {
      if (linked[i]) {
        continue;
      }
      const Run& run = weak_runs[i];
      const int64_t gap_above = top - run.end - 1;
      const int64_t gap_below = run.start - bottom - 1;
      if ((gap_above >= 0 && gap_above <= max_gap) || (gap_below >= 0 && gap_below <= max_gap)) {
        linked[i] = true;
        top = std::min(top, run.start);
        bottom = std::max(bottom, run.end);
        changed = true;
      }
    }
  }
  return std::make_pair(top, bottom);
}

}  // namespace tessaryn::segmark
