// Digit slot layouts: instead of locating each digit in the image, a field's crop is divided by a
// fixed rule per role, equal slots for plain numbers and two pairs around a separator for clocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "panelsight/core/box.hpp"

namespace tessaryn::panelsight {

struct Slot {
  bool separator = false;    // "separator" or "digit"
  int64_t digit_index = 0;   // 0-based among the digit slots, left to right; unused for a separator
  Box box{};                 // inclusive, already rounded to whole pixels
};

using Layout = std::vector<Slot>;

// Widths and heights are whole numbers given as doubles, which is how the layout arithmetic counts
// them anyway: a size beyond any integer type still gets its own boxes.

// `count` equal slots over the crop width; every size below 1 counts as 1.
Layout equal_digit_slots(double width, double height, int64_t count);

// Two digits, the separator gap, two digits. The separator centre defaults to the middle and is
// kept within 30 % to 70 % of the width, so a wild detection cannot squeeze one pair to nothing.
Layout clock_slots(double width, double height, std::optional<double> separator_x);

enum class LayoutKind { TwoDigits, OneDigit, Clock };

// By exact role name; a role the system does not know reads as one digit.
LayoutKind layout_kind(std::string_view role);

Layout layout_for_role(std::string_view role, double width, double height, std::optional<double> separator_x);

}  // namespace tessaryn::panelsight
