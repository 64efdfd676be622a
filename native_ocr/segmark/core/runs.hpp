// Runs of consecutive indices in row and column projections, and the rules that trim and grow them.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "segmark/core/constants.hpp"

namespace tessaryn::segmark {

// Inclusive run of indices.
struct Run {
  int64_t start = 0;
  int64_t end = 0;
  bool operator==(const Run&) const = default;
  int64_t length() const { return end - start + 1; }
};

std::vector<Run> contiguous_runs(const std::vector<int64_t>& ascending_indices);

// Drops thin runs that touch the first or last index of the cell and stand apart from the rest:
// borders and specks of a neighbouring digit, not part of this one. A lone run is always kept.
std::vector<Run> remove_marginal_runs(std::vector<Run> runs, int64_t cell_height, const Constants& k);

inline bool runs_overlap(const Run& first, const Run& second) {
  return first.start <= second.end && first.end >= second.start;
}

// Grows the core runs by the weaker runs (projection >= the minimum pixel count) that overlap them
// or lie within `max_gap` of the extent reached so far. Returns (top, bottom) or nothing when no
// weak run touches the core.
std::optional<std::pair<int64_t, int64_t>> extend_from_core(const std::vector<double>& projection,
                                                            const std::vector<Run>& core_runs,
                                                            int64_t max_gap, const Constants& k);

}  // namespace tessaryn::segmark
