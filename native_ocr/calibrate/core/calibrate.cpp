#include "calibrate/core/calibrate.hpp"

#include <opencv2/imgproc.hpp>

namespace tessaryn::calibrate {

namespace {

robust::Options fixed(const robust::FieldReading& r) {
  robust::Options o;
  o.channel = r.ink.channel;
  o.polarity = r.ink.polarity;
  o.slant = r.slant;
  return o;
}

}  // namespace

Suggestion suggest(const cv::Mat& crop, robust::FieldKind kind) {
  Suggestion s;
  // First what the crop says by itself; when that does not read, the same with an upright face.
  // Nothing reads: the first estimate stays.
  robust::FieldReading first = robust::read_field(crop, kind, robust::Options{});
  s.options = fixed(first);
  s.reading = first;
  s.read = first.valid;
  if (!s.read) {
    // A lean measured on a still that does not read may be the blur's, not the face's; it is left
    // to be measured on each frame. (Locking an upright face instead would read a slanted 4 or 7
    // as a confident 9 on every later frame. The other polarity is never tried either: a misread
    // that happens to spell digits would be locked in.)
    s.options.slant.reset();
  }
  cv::Mat gray;
  if (crop.channels() == 3) {
    cv::cvtColor(crop, gray, cv::COLOR_BGR2GRAY);
  } else {
    gray = crop;
  }
  cv::Mat unused;
  s.threshold = static_cast<int>(cv::threshold(gray, unused, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
  s.invert = s.options.polarity == robust::Polarity::Dark;
  return s;
}

}  // namespace tessaryn::calibrate
