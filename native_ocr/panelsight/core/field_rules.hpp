// How the slot results of a field combine into its value: the two-digit rule of scores and the
// clock text made of two digit pairs around a colon or a decimal point.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessaryn::panelsight {

enum class SlotStatus { Digit, Empty, Other };

// Which digits make up a two-digit field's value; the caller adds them in its own integer type, so
// that a digit reader returning any integer gives the exact sum.
enum class ScoreForm {
  MissingUnits,   // the units slot is not a digit: no value
  UnitsOnly,      // a blank tens slot: the units digit alone
  TensAndUnits,   // 10 x tens + units
  Unrecognized,   // something unreadable in the tens slot: no value
};

// The units slot decides first, whatever the tens slot holds; a blank tens slot reads as a one-digit
// number, anything else in it that is not a digit makes the field unreadable.
inline ScoreForm score_form(SlotStatus tens, SlotStatus units) {
  if (units != SlotStatus::Digit) {
    return ScoreForm::MissingUnits;
  }
  if (tens == SlotStatus::Empty) {
    return ScoreForm::UnitsOnly;
  }
  return tens == SlotStatus::Digit ? ScoreForm::TensAndUnits : ScoreForm::Unrecognized;
}

inline const char* score_reason(ScoreForm form) {
  switch (form) {
    case ScoreForm::MissingUnits: return "missing_units";
    case ScoreForm::Unrecognized: return "unrecognized";
    default: return "ok";
  }
}

// One digit position of a clock: its status and, for a digit, the text of its character.
struct ClockPosition {
  SlotStatus status = SlotStatus::Other;
  std::string text;
};

// The clock's text from its left and right digit positions, or none. A blank position adds
// nothing, an unreadable one spoils its side. With a colon both sides must show something
// ("12:34", "2:05"); with a decimal point the value is the left side, the point and the first right
// position only ("45.6"), and both of those must show something.
std::optional<std::string> clock_text(std::span<const ClockPosition> left, std::span<const ClockPosition> right,
                                      char separator);

}  // namespace tessaryn::panelsight
