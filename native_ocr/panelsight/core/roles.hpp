// Field roles the operator can give a zone.
#pragma once

#include <array>
#include <string_view>

namespace tessaryn::panelsight {

// The fields shown by one digit whose reading needs no tens slot; the single-digit reader refuses
// every other role rather than guess a layout for it.
inline constexpr std::array<std::string_view, 3> kSingleDigitRoles{"down", "home_timeouts",
                                                                   "guest_timeouts"};

constexpr bool is_single_digit_role(std::string_view role) {
  for (const std::string_view known : kSingleDigitRoles) {
    if (known == role) {
      return true;
    }
  }
  return false;
}

}  // namespace tessaryn::panelsight
