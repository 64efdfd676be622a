#include "panelsight/core/field_rules.hpp"

namespace tessaryn::panelsight {

namespace {

// The characters of one side joined, or none when a position is unreadable.
std::optional<std::string> side_text(std::span<const ClockPosition> side) {
  std::string text;
  for (const ClockPosition& p : side) {
    if (p.status == SlotStatus::Digit) {
      text += p.text;
    } else if (p.status != SlotStatus::Empty) {
      return std::nullopt;
    }
  }
  return text;
}

}  // namespace

std::optional<std::string> clock_text(std::span<const ClockPosition> left, std::span<const ClockPosition> right,
                                      char separator) {
  const std::optional<std::string> left_text = side_text(left);
  const std::optional<std::string> right_text = side_text(right);
  if (!left_text || !right_text || left_text->empty()) {
    return std::nullopt;
  }
  if (separator == '.') {
    // Seconds and tenths: the second right position does not enter the value.
    const std::string tenths = right.empty() || right.front().status != SlotStatus::Digit ? "" : right.front().text;
    if (tenths.empty()) {
      return std::nullopt;
    }
    return *left_text + "." + tenths;
  }
  if (right_text->empty()) {
    return std::nullopt;
  }
  return *left_text + ":" + *right_text;
}

}  // namespace tessaryn::panelsight
