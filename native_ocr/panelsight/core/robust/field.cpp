// One field of a role, read from its crop: the steps of the robust profile in order, and the
// rules that compose a value only from evidence that holds up.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::robust {

namespace {

// Below this ink level (0-255, after the panel is removed) a zone shows nothing: a blank, a flooded
// or a uniformly glaring zone.
constexpr double kMinContrast = 24.0;

DigitReading blank() { return DigitReading{}; }

std::string text_of(const std::vector<DigitReading>& side, bool* readable) {
  std::string text;
  *readable = true;
  for (const DigitReading& d : side) {
    if (d.status == DigitStatus::Digit) {
      text += static_cast<char>('0' + *d.digit);
    } else if (d.status == DigitStatus::Unknown) {
      *readable = false;
    }
  }
  return text;
}

double weakest(const std::vector<DigitReading>& positions) {
  double c = 1.0;
  for (const DigitReading& d : positions) {
    if (d.status != DigitStatus::Empty) {
      c = std::min(c, d.confidence);
    }
  }
  return c;
}

void compose_pair(FieldReading& r, const std::vector<DigitReading>& digits) {
  if (digits.size() > 2) {
    r.positions = {blank(), blank()};
    r.reason = "unrecognized";
    r.detail = "too_many_digits";
    return;
  }
  r.positions = digits.size() == 2 ? digits : std::vector<DigitReading>{blank(), digits.empty() ? blank() : digits[0]};
  const DigitReading& tens = r.positions[0];
  const DigitReading& units = r.positions[1];
  if (units.status != DigitStatus::Digit) {
    r.reason = "missing_units";
    r.detail = units.status == DigitStatus::Empty ? "no_digit" : units.note;
    return;
  }
  if (tens.status == DigitStatus::Unknown) {
    r.reason = "unrecognized";
    r.detail = tens.note;
    return;
  }
  const int value = (tens.status == DigitStatus::Digit ? 10 * *tens.digit : 0) + *units.digit;
  r.value = std::to_string(value);
  r.valid = true;
  r.reason = "ok";
}

void compose_single(FieldReading& r, const std::vector<DigitReading>& digits) {
  if (digits.size() > 1) {
    r.positions = {blank()};
    r.positions[0].status = DigitStatus::Unknown;
    r.reason = "unknown";
    r.detail = "too_many_digits";
    return;
  }
  r.positions = {digits.empty() ? blank() : digits[0]};
  const DigitReading& d = r.positions[0];
  if (d.status != DigitStatus::Digit) {
    r.reason = d.status == DigitStatus::Empty ? "empty" : "unknown";
    r.detail = d.note;
    return;
  }
  r.value = std::to_string(*d.digit);
  r.valid = true;
  r.reason = "ok";
}

void compose_clock(FieldReading& r, const FieldLayout& layout, const std::vector<DigitReading>& digits) {
  r.positions = {blank(), blank(), blank(), blank()};
  r.reason = "unrecognized";
  r.separator = find_separator(layout);
  size_t split = 0;
  if (r.separator) {
    const double sx = r.separator->box.x + r.separator->box.width / 2.0;
    while (split < digits.size() && digits[split].box.x + digits[split].box.width / 2.0 < sx) {
      ++split;
    }
  } else if (digits.size() == 4) {
    // Four digits and no dots: a colon that is blinking off or too faint to see.
    r.separator_assumed = true;
    split = 2;
  } else {
    r.detail = "no_separator";
    return;
  }
  const size_t left_count = split;
  const size_t right_count = digits.size() - split;
  if (left_count < 1 || left_count > 2 || right_count < 1 || right_count > 2) {
    r.detail = "layout";
    return;
  }
  for (size_t i = 0; i < left_count; ++i) {
    r.positions[2 - left_count + i] = digits[i];
  }
  for (size_t i = 0; i < right_count; ++i) {
    r.positions[2 + i] = digits[split + i];
  }
  if (r.separator && r.separator->confidence < 0.5) {
    r.detail = "separator";
    return;
  }
  const std::vector<DigitReading> left(r.positions.begin(), r.positions.begin() + 2);
  const std::vector<DigitReading> right(r.positions.begin() + 2, r.positions.end());
  bool left_ok = false;
  bool right_ok = false;
  const std::string left_text = text_of(left, &left_ok);
  const std::string right_text = text_of(right, &right_ok);
  const bool tenths = r.separator && r.separator->symbol == '.';
  if (!left_ok || left_text.empty()) {
    r.detail = "minutes_or_seconds";
    return;
  }
  if (tenths) {
    // Seconds and tenths: the tenths digit stands right after the point.
    if (right[0].status != DigitStatus::Digit) {
      r.detail = "tenths";
      return;
    }
    r.value = left_text + "." + static_cast<char>('0' + *right[0].digit);
  } else {
    // Seconds always show both digits.
    if (!right_ok || right_text.size() != 2) {
      r.detail = "seconds";
      return;
    }
    r.value = left_text + ":" + right_text;
  }
  r.valid = true;
  r.reason = "raw";
}

}  // namespace

FieldReading read_field(const cv::Mat& crop, FieldKind kind, const Options& options) {
  FieldReading r;
  r.ink = ink_image(crop, options);
  cv::Mat binary;
  cv::threshold(r.ink.ink, binary, r.ink.threshold, 255, cv::THRESH_BINARY);
  std::vector<DigitReading> digits;
  FieldLayout layout;
  if (r.ink.contrast >= kMinContrast) {
    r.slant = options.slant ? *options.slant : estimate_slant(binary);
    const cv::Mat ink = shear(r.ink.ink, r.slant, &r.pad);
    cv::threshold(ink, r.binary, r.ink.threshold, 255, cv::THRESH_BINARY);
    layout = locate_field(r.binary);
    // Digits far dimmer than the others (washed out by glare) fall under the split; look for them
    // again lower down, so that they are refused rather than read as blank positions.
    cv::Mat faint_binary;
    cv::threshold(ink, faint_binary, std::max(12.0, 0.4 * r.ink.threshold), 255, cv::THRESH_BINARY);
    for (const DigitBox& f : locate_field(faint_binary).digits) {
      bool overlaps = false;
      for (const DigitBox& d : layout.digits) {
        overlaps = overlaps || (f.box.x < d.box.x + d.box.width && d.box.x < f.box.x + f.box.width);
      }
      // Only as wide as a digit: the ghosts of a colon and a decimal point stack up as tall as one.
      if (!overlaps && f.box.height >= 0.7 * layout.digit_height && f.box.width >= 0.3 * f.box.height &&
          layout.digit_height > 0) {
        layout.digits.push_back(f);
      }
    }
    std::sort(layout.digits.begin(), layout.digits.end(),
              [](const DigitBox& a, const DigitBox& b) { return a.box.x < b.box.x; });
    // The width of a full digit, from the wide ones; a field of 1s only takes the usual proportion.
    std::vector<int> widths;
    for (const DigitBox& d : layout.digits) {
      if (d.box.width >= 0.4 * layout.digit_height) {
        widths.push_back(d.box.width);
      }
    }
    double reference = 0.55 * layout.digit_height;
    if (!widths.empty()) {
      std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
      reference = widths[widths.size() / 2];
    }
    std::vector<SegmentProbe> probes;
    std::vector<cv::Rect> boxes;
    for (const DigitBox& d : layout.digits) {
      probes.push_back(probe_digit(ink, d.box, reference));
      boxes.push_back(d.box);
    }
    digits = classify_digits(probes, boxes, options.min_confidence);
    double field_level = 0.0;
    for (const SegmentProbe& p : probes) {
      field_level = std::max(field_level, p.ink_level);
    }
    for (const cv::Rect& d : layout.dots) {
      double peak = 0.0;
      cv::minMaxLoc(ink(d & cv::Rect(0, 0, ink.cols, ink.rows)), nullptr, &peak);
      layout.dot_levels.push_back(field_level > 0 ? peak / field_level : 1.0);
    }
  } else {
    r.binary = cv::Mat::zeros(binary.size(), CV_8U);
  }
  switch (kind) {
    case FieldKind::Pair: compose_pair(r, digits); break;
    case FieldKind::Single: compose_single(r, digits); break;
    case FieldKind::Clock: compose_clock(r, layout, digits); break;
  }
  if (r.ink.contrast < kMinContrast) {
    r.detail = "no_ink";
  }
  r.confidence = weakest(r.positions);
  if (r.separator) {
    r.confidence = std::min(r.confidence, r.separator->confidence);
  }
  return r;
}

std::array<int, 4> crop_box(const FieldReading& reading, const cv::Rect& box, int crop_cols, int crop_rows) {
  const double centre = (reading.binary.rows - 1) / 2.0;
  const double middle = box.y + (box.height - 1) / 2.0;
  const double shift = reading.pad + reading.slant * (middle - centre);
  const double s = reading.ink.scale > 0 ? reading.ink.scale : 1.0;
  auto clampi = [](double v, int hi) { return std::clamp(static_cast<int>(std::lround(v)), 0, std::max(0, hi)); };
  return {clampi((box.x - shift) / s, crop_cols - 1), clampi(box.y / s, crop_rows - 1),
          clampi((box.x + box.width - 1 - shift) / s, crop_cols - 1),
          clampi((box.y + box.height - 1) / s, crop_rows - 1)};
}

}  // namespace tessaryn::panelsight::robust
