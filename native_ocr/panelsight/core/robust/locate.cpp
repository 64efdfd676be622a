// Digits and separator dots from the ink itself, so that a zone drawn off-centre, a wide colon gap
// or a decimal point after the seconds digit reads the same as a centred, textbook layout.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::robust {

namespace {

// Height of the band of rows that holds the digits: the longest run of rows with ink, allowing
// the short gaps that segment gaps leave.
int band_height(const cv::Mat& binary) {
  std::vector<int> count(binary.rows, 0);
  for (int r = 0; r < binary.rows; ++r) {
    count[r] = cv::countNonZero(binary.row(r));
  }
  const int need = std::max(1, binary.cols / 100);
  const int allowed_gap = std::max(2, binary.rows / 20);
  int best = 0;
  int start = -1;
  int last = -1;
  for (int r = 0; r < binary.rows; ++r) {
    if (count[r] < need) {
      continue;
    }
    if (start < 0 || r - last > allowed_gap + 1) {
      start = r;
    }
    last = r;
    best = std::max(best, last - start + 1);
  }
  return best;
}

struct Component {
  cv::Rect box;
  int area;
};

int horizontal_gap(const cv::Rect& a, const cv::Rect& b) {
  return std::max(a.x, b.x) - std::min(a.x + a.width, b.x + b.width);
}

// Tight bounds of the ink inside `area`, or an empty rect.
cv::Rect ink_bounds(const cv::Mat& binary, const cv::Rect& area) {
  const cv::Rect a = area & cv::Rect(0, 0, binary.cols, binary.rows);
  if (a.empty()) {
    return {};
  }
  std::vector<cv::Point> points;
  cv::findNonZero(binary(a), points);
  if (points.empty()) {
    return {};
  }
  const cv::Rect r = cv::boundingRect(points);
  return {r.x + a.x, r.y + a.y, r.width, r.height};
}

std::vector<int> column_counts(const cv::Mat& binary, const cv::Rect& box) {
  std::vector<int> counts(box.width, 0);
  for (int c = 0; c < box.width; ++c) {
    counts[c] = cv::countNonZero(binary(cv::Rect(box.x + c, box.y, 1, box.height)));
  }
  return counts;
}

// Two digits standing so close that their ink touches (small fields, bloom, blur): a glyph wider
// than any one digit is cut at its thinnest column near the middle.
void split_wide(const cv::Mat& binary, std::vector<DigitBox>& digits) {
  std::vector<DigitBox> out;
  std::vector<DigitBox> todo(digits.rbegin(), digits.rend());
  while (!todo.empty()) {
    DigitBox d = todo.back();
    todo.pop_back();
    if (d.box.width <= 0.95 * d.box.height || out.size() + todo.size() > 8) {
      out.push_back(d);
      continue;
    }
    const std::vector<int> counts = column_counts(binary, d.box);
    const int from = static_cast<int>(d.box.width * 0.3);
    const int to = static_cast<int>(d.box.width * 0.7);
    int best = from;
    for (int c = from; c <= to; ++c) {
      if (counts[c] < counts[best]) {
        best = c;
      }
    }
    const cv::Rect left = ink_bounds(binary, cv::Rect(d.box.x, d.box.y, best, d.box.height));
    const cv::Rect right = ink_bounds(binary, cv::Rect(d.box.x + best + 1, d.box.y, d.box.width - best - 1, d.box.height));
    if (left.empty() || right.empty()) {
      out.push_back(d);
      continue;
    }
    todo.push_back({right, 1});
    todo.push_back({left, 1});
  }
  digits = out;
}

// Runs of ink in one column of `box`, as (first, last) rows relative to the box top.
std::vector<std::pair<int, int>> column_runs(const cv::Mat& binary, const cv::Rect& box, int column) {
  std::vector<std::pair<int, int>> runs;
  int start = -1;
  for (int r = 0; r < box.height; ++r) {
    const bool ink = binary.at<uint8_t>(box.y + r, column) != 0;
    if (ink && start < 0) {
      start = r;
    } else if (!ink && start >= 0) {
      runs.emplace_back(start, r - 1);
      start = -1;
    }
  }
  if (start >= 0) {
    runs.emplace_back(start, box.height - 1);
  }
  return runs;
}

// A colon or a decimal point that blur or bloom has joined to a neighbouring digit: columns that
// hold nothing but two short runs (one in each half) or one short run low down are separator
// columns, wherever they are; the glyph is cut there and the dots kept apart.
void split_joined_separators(const cv::Mat& binary, FieldLayout& layout) {
  std::vector<DigitBox> out;
  for (const DigitBox& d : layout.digits) {
    const double h = d.box.height;
    const int min_run = std::max(2, static_cast<int>(std::lround(0.04 * h)));
    std::vector<char> marks(d.box.width, 0);
    for (int c = 0; c < d.box.width; ++c) {
      const auto runs = column_runs(binary, d.box, d.box.x + c);
      auto centre = [&](const std::pair<int, int>& r) { return (r.first + r.second) / 2.0 / h; };
      auto short_run = [&](const std::pair<int, int>& r) { return r.second - r.first + 1 <= 0.25 * h; };
      if (runs.size() == 2 && short_run(runs[0]) && short_run(runs[1]) && centre(runs[0]) > 0.12 &&
          centre(runs[0]) < 0.45 && centre(runs[1]) > 0.55 && centre(runs[1]) < 0.88) {
        marks[c] = ':';
      } else if (runs.size() == 1 && short_run(runs[0]) && centre(runs[0]) >= 0.75) {
        marks[c] = '.';
      }
    }
    int best_start = -1;
    int best_length = 0;
    for (int c = 0; c < d.box.width;) {
      if (!marks[c]) {
        ++c;
        continue;
      }
      int e = c;
      while (e < d.box.width && marks[e] == marks[c]) {
        ++e;
      }
      // A point at the glyph's own edge is only split off when the glyph is wider than a digit.
      if (e - c > best_length) {
        best_start = c;
        best_length = e - c;
      }
      c = e;
    }
    if (best_length < min_run) {
      out.push_back(d);
      continue;
    }
    const cv::Rect middle(d.box.x + best_start, d.box.y, best_length, d.box.height);
    const cv::Rect left = ink_bounds(binary, cv::Rect(d.box.x, d.box.y, best_start, d.box.height));
    const cv::Rect right = ink_bounds(
        binary, cv::Rect(middle.x + best_length, d.box.y, d.box.width - best_start - best_length, d.box.height));
    const bool left_digit = !left.empty() && left.height >= 0.7 * h;
    const bool right_digit = !right.empty() && right.height >= 0.7 * h;
    if (!left_digit && !right_digit) {
      out.push_back(d);
      continue;
    }
    // The dots themselves, one box per run of rows.
    const cv::Rect half_top(middle.x, middle.y, middle.width, middle.height / 2);
    const cv::Rect half_bottom(middle.x, middle.y + middle.height / 2, middle.width,
                               middle.height - middle.height / 2);
    for (const cv::Rect& half : {half_top, half_bottom}) {
      const cv::Rect dot = ink_bounds(binary, half);
      if (!dot.empty()) {
        layout.dots.push_back(dot);
      }
    }
    if (left_digit) {
      out.push_back({left, 1});
    }
    if (right_digit) {
      out.push_back({right, 1});
    }
  }
  layout.digits = out;
}

// A decimal point drawn right after a digit can touch it: columns at the glyph's right end whose ink
// lies only low in the glyph are the point, not the digit.
void split_attached_points(const cv::Mat& binary, FieldLayout& layout) {
  std::vector<int> widths;
  for (const DigitBox& d : layout.digits) {
    if (d.box.width >= 0.4 * d.box.height) {
      widths.push_back(d.box.width);
    }
  }
  if (widths.size() < 2) {
    return;
  }
  std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
  const double usual = widths[widths.size() / 2];
  for (DigitBox& d : layout.digits) {
    if (d.box.width < 1.12 * usual) {
      continue;
    }
    const std::vector<int> counts = column_counts(binary, d.box);
    const int low = d.box.y + static_cast<int>(d.box.height * 0.72);
    int cut = d.box.width;
    while (cut > 0) {
      const cv::Rect column(d.box.x + cut - 1, d.box.y, 1, low - d.box.y);
      if (cv::countNonZero(binary(column)) > 0) {
        break;
      }
      --cut;
    }
    if (d.box.width - cut < 0.06 * d.box.height || cut < 0.8 * usual) {
      continue;
    }
    const cv::Rect point = ink_bounds(binary, cv::Rect(d.box.x + cut, d.box.y, d.box.width - cut, d.box.height));
    const cv::Rect digit = ink_bounds(binary, cv::Rect(d.box.x, d.box.y, cut, d.box.height));
    if (point.empty() || digit.empty()) {
      continue;
    }
    d.box = digit;
    layout.dots.push_back(point);
  }
}

}  // namespace

FieldLayout locate_field(const cv::Mat& binary) {
  FieldLayout layout;
  const int band = band_height(binary);
  if (band < 6) {
    return layout;
  }
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(binary, labels, stats, centroids, 8, CV_32S);
  const int min_area = std::max(4, static_cast<int>(0.0012 * band * band));
  std::vector<Component> bars;
  std::vector<Component> specks;  // dot-sized: separator dots, dot-matrix LEDs, a decimal point
  for (int i = 1; i < n; ++i) {
    const int area = stats.at<int>(i, cv::CC_STAT_AREA);
    if (area < min_area) {
      continue;
    }
    const Component c{cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                               stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT)),
                      area};
    const bool compact = c.box.width <= 0.22 * band && c.box.height <= 0.22 * band;
    (compact ? specks : bars).push_back(c);
  }
  auto by_x = [](const Component& a, const Component& b) {
    return a.box.x != b.box.x ? a.box.x < b.box.x : a.box.y < b.box.y;
  };
  std::sort(bars.begin(), bars.end(), by_x);
  std::sort(specks.begin(), specks.end(), by_x);

  // Bars that overlap in columns belong to one digit. Dot-sized blobs never pull glyphs together
  // by nearness: a colon or a decimal point close to a digit stays apart from it.
  const int tolerance = std::max(1, static_cast<int>(std::lround(band * 0.03)));
  struct Group {
    cv::Rect box;
    int components = 0;
    std::vector<cv::Rect> members;
  };
  auto grouped = [&](const std::vector<Component>& parts) {
    std::vector<Group> groups;
    for (const Component& c : parts) {
      if (!groups.empty() && horizontal_gap(groups.back().box, c.box) <= tolerance) {
        groups.back().box |= c.box;
        ++groups.back().components;
        groups.back().members.push_back(c.box);
      } else {
        groups.push_back({c.box, 1, {c.box}});
      }
    }
    return groups;
  };
  std::vector<Group> groups = grouped(bars);
  std::vector<Component> loose;
  for (const Component& c : specks) {
    const double cx = c.box.x + c.box.width / 2.0;
    bool inside = false;
    for (Group& g : groups) {
      if (cx >= g.box.x && cx < g.box.x + g.box.width) {
        g.box |= c.box;
        ++g.components;
        inside = true;
        break;
      }
    }
    if (!inside) {
      loose.push_back(c);
    }
  }
  // What is left may still be a whole digit of separate LEDs, or dots of a separator.
  for (Group& g : grouped(loose)) {
    groups.push_back(g);
  }
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.box.x < b.box.x; });

  int tallest = 0;
  for (const Group& g : groups) {
    tallest = std::max(tallest, g.box.height);
  }
  layout.digit_height = tallest;
  auto digit_sized = [&](const Group& g) { return g.box.height >= 0.7 * tallest && g.box.height >= 0.35 * band; };
  // On a dot-matrix face the LEDs of a 4's left bar and middle bar, or of a 7's top bar, stand apart
  // from the LEDs of its right bar: a short group of three or more LEDs (more than any separator
  // has) right beside a digit is part of that digit, not a row of separator dots. A digit's loose
  // pieces stand left of its right bar, so the digit on the right is taken first.
  std::vector<bool> absorbed(groups.size(), false);
  for (size_t i = 0; i < groups.size(); ++i) {
    if (digit_sized(groups[i]) || groups[i].components < 3) {
      continue;
    }
    size_t nearest = groups.size();
    int nearest_gap = static_cast<int>(0.25 * tallest) + 1;
    for (size_t k = 0; k < groups.size(); ++k) {
      if (k == i || !digit_sized(groups[k])) {
        continue;
      }
      const int gap = horizontal_gap(groups[i].box, groups[k].box);
      const bool level = groups[i].box.y >= groups[k].box.y - tolerance &&
                         groups[i].box.y + groups[i].box.height <= groups[k].box.y + groups[k].box.height + tolerance;
      const bool right = groups[k].box.x > groups[i].box.x;
      const bool nearest_right = nearest < groups.size() && groups[nearest].box.x > groups[i].box.x;
      if (level && (right && !nearest_right ? gap < static_cast<int>(0.25 * tallest) + 1
                                            : right == nearest_right && gap < nearest_gap)) {
        nearest = k;
        nearest_gap = gap;
      }
    }
    if (nearest < groups.size()) {
      absorbed[i] = true;
      groups[nearest].box |= groups[i].box;
      groups[nearest].components += groups[i].components;
    }
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    const Group& g = groups[i];
    if (absorbed[i]) {
      continue;
    }
    if (digit_sized(g)) {
      layout.digits.push_back({g.box, g.components});
      continue;
    }
    for (const cv::Rect& m : g.members) {
      if (m.width <= 0.35 * tallest && m.height <= 0.35 * tallest) {
        layout.dots.push_back(m);
      }
    }
  }
  split_joined_separators(binary, layout);
  split_wide(binary, layout.digits);
  split_attached_points(binary, layout);
  return layout;
}

std::optional<SeparatorFound> find_separator(const FieldLayout& layout, double min_level) {
  if (layout.digits.size() < 2) {
    return std::nullopt;
  }
  std::optional<SeparatorFound> best;
  int found = 0;
  for (size_t i = 0; i + 1 < layout.digits.size(); ++i) {
    const cv::Rect& left = layout.digits[i].box;
    const cv::Rect& right = layout.digits[i + 1].box;
    const int gap_left = left.x + left.width - std::max(1, left.width / 8);
    const int gap_right = right.x;
    // The digits' own band at this gap (roll and keystone move it from gap to gap).
    const double top = (left.y + right.y) / 2.0;
    const double height = (left.height + right.height) / 2.0;
    std::vector<cv::Rect> between;
    for (size_t k = 0; k < layout.dots.size(); ++k) {
      const cv::Rect& d = layout.dots[k];
      if (k < layout.dot_levels.size() && layout.dot_levels[k] < min_level) {
        continue;
      }
      const double cx = d.x + d.width / 2.0;
      if (cx > gap_left && cx < gap_right) {
        between.push_back(d);
      }
    }
    if (between.empty()) {
      continue;
    }
    // Colon: one dot in each half of the band, stacked; decimal point: one dot low in the band.
    const cv::Rect* upper = nullptr;
    const cv::Rect* lower = nullptr;
    const cv::Rect* point = nullptr;
    for (const cv::Rect& d : between) {
      const double rel = (d.y + d.height / 2.0 - top) / height;
      if (rel > 0.12 && rel < 0.5 && (!upper || d.area() > upper->area())) {
        upper = &d;
      } else if (rel >= 0.5 && rel < 0.88 && (!lower || d.area() > lower->area())) {
        lower = &d;
      }
      if (rel >= 0.72 && rel < 1.12 && (!point || d.area() > point->area())) {
        point = &d;
      }
    }
    SeparatorFound s;
    if (upper && lower && std::abs((upper->x + upper->width / 2.0) - (lower->x + lower->width / 2.0)) <
                              0.25 * height) {
      const double ratio = static_cast<double>(std::min(upper->area(), lower->area())) /
                           std::max(1, std::max(upper->area(), lower->area()));
      s.symbol = ':';
      s.box = *upper | *lower;
      s.confidence = std::clamp(0.5 + 0.5 * ratio, 0.0, 1.0);
    } else if (point && !upper) {
      s.symbol = '.';
      s.box = *point;
      s.confidence = 0.85;
    } else {
      continue;
    }
    ++found;
    if (!best || s.confidence > best->confidence) {
      best = s;
    }
  }
  if (found > 1 && best) {
    // Two gaps that both look like separators: the board is not what a clock shows.
    best->confidence *= 0.5;
  }
  return best;
}

}  // namespace tessaryn::panelsight::robust
