// How much a window's bands look like a colon (two similar dots one above the other) or a decimal
// point (one reliable dot low in the window), wherever the window lies.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "panelsight/core/separator/groups.hpp"

namespace tessaryn::panelsight::separator {

struct ColonCandidate {
  double score = 0;
  size_t upper = 0;  // indices into the window's groups
  size_t lower = 0;
  double alignment = 0;
  double similarity = 0;
  double separation = 0;
  double topology = 0;
  double centrality = 0;
};

struct DecimalCandidate {
  double score = 0;
  size_t lower = 0;
};

struct Topology {
  std::optional<ColonCandidate> colon;
  std::optional<DecimalCandidate> decimal;
  double colon_score() const { return colon ? colon->score : 0.0; }
  double decimal_score() const { return decimal ? decimal->score : 0.0; }
};

// Only the fields the scores use are read: center_x, center_y, width, height, energy,
// y_normalized and reliability.
Topology separator_topology(const std::vector<Group>& groups, double corridor_width, double corridor_height);

}  // namespace tessaryn::panelsight::separator
