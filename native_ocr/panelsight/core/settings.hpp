// The processing settings of a zone after they were merged over the defaults and brought into
// their ranges. A default-constructed value is the set of defaults.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaryn::panelsight {

enum class Morphology { None, Dilate, Erode, Close, Open };

// In the order a setting's text is compared with them.
inline constexpr std::array<std::string_view, 5> kMorphologyNames{"none", "dilate", "erode", "close", "open"};

inline constexpr std::string_view morphology_name(Morphology m) {
  return kMorphologyNames[static_cast<size_t>(m)];
}

struct ProcessingSettings {
  int threshold = 150;
  double contrast = 1.0;
  int brightness = 0;
  double gamma = 1.0;
  double rotation = 0.0;  // degrees, counter-clockwise positive
  int blur = 0;           // Gaussian kernel size, 0 = off
  Morphology morphology = Morphology::None;
  int morph_size = 1;     // side of the square structuring element
  bool grayscale = true;  // carried only: preparation always works in gray
  bool binarize = true;
  bool invert = false;
};

inline constexpr ProcessingSettings kDefaultProcessing{};

template <typename T>
struct SettingRange {
  T low;
  T high;
};

inline constexpr SettingRange<int64_t> kThresholdRange{0, 255};
inline constexpr SettingRange<double> kContrastRange{0.2, 4.0};
inline constexpr SettingRange<int64_t> kBrightnessRange{-150, 150};
inline constexpr SettingRange<double> kGammaRange{0.2, 3.0};
inline constexpr SettingRange<double> kRotationRange{-15.0, 15.0};
inline constexpr SettingRange<int64_t> kBlurRange{0, 15};
inline constexpr SettingRange<int64_t> kMorphSizeRange{1, 9};

// min(max(value, low), high) with Python's comparison semantics: max keeps its first argument
// unless the second is greater, so a NaN passes through both unchanged, as it does in Python.
template <typename T>
constexpr T clamp_setting(T value, SettingRange<T> range) {
  const T raised = range.low > value ? range.low : value;
  return range.high < raised ? range.high : raised;
}

// The morphology a setting's text names, compared exactly and case-sensitively.
inline std::optional<Morphology> morphology_named(std::string_view text) {
  for (size_t i = 0; i < kMorphologyNames.size(); ++i) {
    if (kMorphologyNames[i] == text) {
      return static_cast<Morphology>(i);
    }
  }
  return std::nullopt;
}

// A rotation this small is treated as none, so that a slider left near zero costs no resampling.
inline constexpr double kRotationDeadband = 0.001;

}  // namespace tessaryn::panelsight
