// How the slot results of a plain number field combine into its value.
#pragma once

#include <cstdint>
#include <optional>

namespace tessaryn::panelsight {

enum class SlotStatus { Digit, Empty, Other };

struct FieldReading {
  std::optional<int64_t> value;
  const char* reason = "ok";  // nullptr: the slot's own status text
};

// Two-digit fields: the units slot must be a digit; a blank tens slot reads as a one-digit number,
// anything else in it that is not a digit makes the field unreadable.
inline FieldReading score_reading(SlotStatus tens, int64_t tens_digit, SlotStatus units, int64_t units_digit) {
  if (units != SlotStatus::Digit) {
    return {std::nullopt, "missing_units"};
  }
  if (tens == SlotStatus::Empty) {
    return {units_digit, "ok"};
  }
  if (tens == SlotStatus::Digit) {
    return {10 * tens_digit + units_digit, "ok"};
  }
  return {std::nullopt, "unrecognized"};
}

}  // namespace tessaryn::panelsight
