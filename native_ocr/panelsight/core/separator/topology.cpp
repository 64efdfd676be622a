#include "panelsight/core/separator/topology.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace tessaryn::panelsight::separator {

namespace {

double clip01(double v) { return numeric::clip(v, 0.0, 1.0); }

double ratio(double a, double b) { return std::min(a, b) / std::max(a, b); }

ColonCandidate colon_pair(const std::vector<Group>& groups, size_t ui, size_t li, double cw, double ch) {
  const Group& upper = groups[ui];
  const Group& lower = groups[li];
  ColonCandidate c;
  c.upper = ui;
  c.lower = li;
  const double presence = std::sqrt(upper.reliability * lower.reliability);
  const double dx = std::abs(upper.center_x - lower.center_x);
  const double spread = dx / std::max(cw * 0.2, 1.0);
  c.alignment = std::exp(-0.5 * (spread * spread));
  const double energy_ratio = ratio(upper.energy, lower.energy);
  const double width_ratio = ratio(upper.width, lower.width);
  const double height_ratio = ratio(static_cast<double>(upper.height), static_cast<double>(lower.height));
  c.similarity = std::pow(energy_ratio * width_ratio * height_ratio, 1.0 / 3.0);
  const double separation_ratio = (lower.center_y - upper.center_y) / std::max(ch, 1.0);
  c.separation = clip01((separation_ratio - 0.12) / 0.18) * clip01((0.8 - separation_ratio) / 0.2);
  c.topology = 0.5 * clip01((0.6 - upper.y_normalized) / 0.2) + 0.5 * clip01((lower.y_normalized - 0.4) / 0.2);
  const double pair_x = (upper.center_x + lower.center_x) / 2.0;
  c.centrality = 1.0 - std::min(std::abs(pair_x / std::max(cw, 1.0) - 0.5) / 0.5, 1.0);
  double s = c.similarity * 0.2 + 0.25;
  s = s + c.separation * 0.25;
  s = s + c.topology * 0.15;
  s = s + c.centrality * 0.15;
  c.score = (c.alignment * presence) * s;
  return c;
}

}  // namespace

Topology separator_topology(const std::vector<Group>& groups, double corridor_width, double corridor_height) {
  std::vector<size_t> uppers;
  std::vector<size_t> lowers;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (groups[i].y_normalized < 0.55) {
      uppers.push_back(i);
    }
    if (groups[i].y_normalized > 0.45) {
      lowers.push_back(i);
    }
  }

  Topology t;
  for (const size_t u : uppers) {
    for (const size_t l : lowers) {
      if (!(groups[l].center_y > groups[u].center_y)) {
        continue;
      }
      const ColonCandidate c = colon_pair(groups, u, l, corridor_width, corridor_height);
      if (!t.colon || c.score > t.colon->score) {
        t.colon = c;
      }
    }
  }

  double upper_reliability = 0.0;
  for (const size_t u : uppers) {
    upper_reliability = std::max(upper_reliability, groups[u].reliability);
  }
  for (const size_t l : lowers) {
    const double lower_position = clip01((groups[l].y_normalized - 0.5) / 0.25);
    const double score =
        groups[l].reliability * ((lower_position * 0.25 + 0.35) + 0.4 * (1.0 - upper_reliability));
    if (!t.decimal || score > t.decimal->score) {
      t.decimal = DecimalCandidate{score, l};
    }
  }
  return t;
}

}  // namespace tessaryn::panelsight::separator
