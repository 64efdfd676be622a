// The robust reading profile: reads a field from the ink the crop shows rather than from fixed
// slot positions and one global threshold. Each step is a free function over cv::Mat so that the
// readers, the calibration and the tests can take any of them on its own.
//
//   ink_image        colour channel and polarity that separate the digits best, background removed
//   estimate_slant   the lean of an italic face, from the column profile of the ink
//   locate_field     digit boxes and separator dots found from the ink's components
//   classify_digit   segment levels measured on the ink, the pattern they show, a confidence
//   read_field       all of the above for one field of a role, and the value it composes
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryn::panelsight::robust {

enum class Channel { Auto, Gray, Blue, Green, Red, Max };
enum class Polarity { Auto, Light, Dark };  // Light: ink brighter than the panel (LEDs, backlit LCDs)
enum class FieldKind { Clock, Pair, Single };

std::string_view channel_name(Channel channel);
std::string_view polarity_name(Polarity polarity);
// The named value; nullopt for a name that is not one of them ("auto" is Auto).
std::optional<Channel> channel_of(std::string_view name);
std::optional<Polarity> polarity_of(std::string_view name);

// What a zone may fix ahead of reading (calibration writes these); everything else is estimated
// from each crop.
struct Options {
  Channel channel = Channel::Auto;
  Polarity polarity = Polarity::Auto;
  std::optional<double> slant;  // horizontal shift per row going up, as a fraction (tan of the lean)
  double min_confidence = 0.5;  // below this a digit is not trusted and the field is not valid
};

// Working rows: small crops are enlarged and large ones reduced so that every rule below works on
// digits of a familiar size.
inline constexpr int kMinWorkingRows = 56;
inline constexpr int kMaxWorkingRows = 150;

struct InkImage {
  cv::Mat ink;            // CV_8U, working scale, ink bright and the panel (with its gradients) near 0
  Channel channel = Channel::Gray;
  Polarity polarity = Polarity::Light;
  double scale = 1.0;     // working pixels per crop pixel
  double contrast = 0.0;  // ink level the crop reaches (98th percentile of ink), 0-255
  int threshold = 0;      // ink/panel split of `ink`
};

// `crop` is BGR (rows, cols, 3) or gray (rows, cols), CV_8U, at least one pixel.
InkImage ink_image(const cv::Mat& crop, const Options& options);

// Best shear (x' = x + slant * (y - centre row)) that stands the face's vertical bars upright;
// `binary` is CV_8U with ink non-zero.
double estimate_slant(const cv::Mat& binary);
// The image sheared by `slant` about its centre row, widened by `pad` columns on each side so that
// nothing is cut off.
cv::Mat shear(const cv::Mat& image, double slant, int* pad);

struct DigitBox {
  cv::Rect box;     // working pixels (after shear)
  int components = 0;
};

struct SeparatorFound {
  char symbol = ':';        // ':' or '.'
  cv::Rect box;             // working pixels
  double confidence = 0.0;  // 0-1
};

struct FieldLayout {
  std::vector<DigitBox> digits;   // left to right
  std::vector<cv::Rect> dots;     // short compact blobs that could be separator dots
  std::vector<double> dot_levels; // each dot's ink relative to the digits' (1 when not measured)
  double digit_height = 0.0;      // tallest digit, working pixels
};

// Digit boxes and dot blobs of a working binary image (ink non-zero).
FieldLayout locate_field(const cv::Mat& binary);
// The separator among the dots that stands between two digits, or nullopt. Dots lit less than
// `min_level` (ghosts of the colon beside a lit decimal point) do not count.
std::optional<SeparatorFound> find_separator(const FieldLayout& layout, double min_level = 0.5);

enum class DigitStatus { Digit, Empty, Unknown };

struct DigitReading {
  DigitStatus status = DigitStatus::Empty;
  std::optional<int> digit;
  double confidence = 1.0;
  cv::Rect box;                       // working pixels; empty for a position that holds no ink
  std::array<double, 7> levels{};     // segment levels A-G relative to the digit's own ink level
  std::array<int, 7> segments{};      // 1 where the level is taken as lit
  double ink_level = 0.0;             // the digit's ink level relative to the field's
  std::string note;                   // why a digit is not trusted ("solid", "pattern", ...)
};

// The digit of a lit-segment pattern (A-G); accepts the common faces of 6, 7 and 9.
std::optional<int> digit_of_segments(const std::array<int, 7>& segments);

// Segment levels of one digit box of the working ink image.
struct SegmentProbe {
  std::array<double, 7> levels{};  // raw ink levels, 0-255 scale
  double upper_counter = 0.0;      // ink inside the upper and lower counters, 0-255 scale
  double lower_counter = 0.0;
  double ink_level = 0.0;          // 95th percentile of the box's ink
  bool narrow = false;             // a single bar: a 1 (or nothing)
  double bar_coverage = 0.0;       // narrow boxes: rows of each half reached by the bar, the smaller
};
SegmentProbe probe_digit(const cv::Mat& ink, const cv::Rect& box, double reference_width);

// Decides each digit of a field from its probes, all together, since a ghost level or a washed-out
// digit is only recognisable beside the others.
std::vector<DigitReading> classify_digits(const std::vector<SegmentProbe>& probes,
                                          const std::vector<cv::Rect>& boxes, double min_confidence);

struct FieldReading {
  // One reading per position of the role: clock 4, pair 2, single 1; blank positions are Empty.
  std::vector<DigitReading> positions;
  std::optional<SeparatorFound> separator;
  bool separator_assumed = false;  // four clock digits but no dots seen: a colon is taken
  std::string value;               // the composed text ("12:34", "45.6", "42"); empty when none
  bool valid = false;
  std::string reason;              // "ok"/"raw" when valid, else the readers' own reason words
  std::string detail;              // the robust path's own word for an invalid reading, or empty
  double confidence = 0.0;
  // Evidence, reported by the readers.
  InkImage ink;
  double slant = 0.0;
  int pad = 0;                     // columns added on each side by the shear
  cv::Mat binary;                  // working binary after the shear
};

FieldReading read_field(const cv::Mat& crop, FieldKind kind, const Options& options);

// A working-image box in crop pixels (undoing the shear at the box's middle row and the scale),
// clipped to the crop; inclusive corners.
std::array<int, 4> crop_box(const FieldReading& reading, const cv::Rect& box, int crop_cols, int crop_rows);

// The ink binary at the crop's own size, for display: ink 255, panel 0.
cv::Mat display_binary(const InkImage& ink, int crop_cols, int crop_rows);

}  // namespace tessaryn::panelsight::robust
