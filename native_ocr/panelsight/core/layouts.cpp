#include "panelsight/core/layouts.hpp"

#include <algorithm>
#include <array>

namespace tessaryn::panelsight {

Layout equal_digit_slots(double width, double height, int64_t count) {
  const double w = std::max(1.0, width);
  height = std::max(1.0, height);
  count = std::max<int64_t>(1, count);
  Layout layout;
  layout.reserve(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)));
  const double n = static_cast<double>(count);
  for (int64_t index = 0; index < count; ++index) {
    const double x1 = w * static_cast<double>(index) / n;
    const double x2 = w * static_cast<double>(index + 1) / n;
    layout.push_back({false, index, round_box(x1, 0.0, x2 - 1.0, height - 1.0)});
  }
  return layout;
}

Layout clock_slots(double width, double height, std::optional<double> separator_x) {
  const double w = std::max(1.0, width);
  const double bottom = std::max(1.0, height) - 1.0;
  double sx = separator_x ? *separator_x : w / 2.0;
  sx = std::min(sx, w * 0.7);
  sx = std::max(sx, w * 0.3);
  const double gap = std::max(w * 0.055, 4.0);
  const double left_end = std::max(1.0, sx - gap / 2.0);
  const double right_start = std::min(w - 2.0, sx + gap / 2.0);
  const double right_width = w - right_start;
  return {
      {false, 0, round_box(0.0, 0.0, left_end / 2.0 - 1.0, bottom)},
      {false, 1, round_box(left_end / 2.0, 0.0, left_end - 1.0, bottom)},
      {true, 0, round_box(left_end, 0.0, right_start - 1.0, bottom)},
      {false, 2, round_box(right_start, 0.0, right_start + right_width / 2.0 - 1.0, bottom)},
      {false, 3, round_box(right_start + right_width / 2.0, 0.0, w - 1.0, bottom)},
  };
}

LayoutKind layout_kind(std::string_view role) {
  static constexpr std::array<std::string_view, 10> two_digits{
      "home_score", "guest_score", "home_penalty_player_1", "home_penalty_player_2", "guest_penalty_player_1",
      "guest_penalty_player_2", "home_shots", "guest_shots", "to_go", "ball_on"};
  static constexpr std::array<std::string_view, 5> clocks{"clock", "home_penalty_1", "home_penalty_2",
                                                         "guest_penalty_1", "guest_penalty_2"};
  if (std::find(two_digits.begin(), two_digits.end(), role) != two_digits.end()) {
    return LayoutKind::TwoDigits;
  }
  if (std::find(clocks.begin(), clocks.end(), role) != clocks.end()) {
    return LayoutKind::Clock;
  }
  return LayoutKind::OneDigit;  // "period", "down", the timeouts, and any role not known here
}

Layout layout_for_role(std::string_view role, double width, double height, std::optional<double> separator_x) {
  switch (layout_kind(role)) {
    case LayoutKind::TwoDigits: return equal_digit_slots(width, height, 2);
    case LayoutKind::Clock: return clock_slots(width, height, separator_x);
    case LayoutKind::OneDigit: break;
  }
  return equal_digit_slots(width, height, 1);
}

}  // namespace tessaryn::panelsight
