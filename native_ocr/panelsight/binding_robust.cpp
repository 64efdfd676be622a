// The robust profile's readers: the same result dictionaries as the specified readers, with the
// robust path's evidence added under "debug".
#include "panelsight/binding_robust.hpp"

#include <pybind11/numpy.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <optional>
#include <string>

#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_support.hpp"
#include "panelsight/core/layouts.hpp"
#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::binding::robust_path {

namespace bridge = tessaryn::py_bridge;
namespace core = tessaryn::panelsight::robust;
using tessaryn::py_bridge::steal;

namespace {

py::object lookup(py::handle mapping, const char* key) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), py::str(key).ptr());
    if (value == nullptr) {
      if (PyErr_Occurred()) {
        throw py::error_already_set();
      }
      return py::none();
    }
    return py::reinterpret_borrow<py::object>(value);
  }
  return mapping.attr("get")(key);
}

bool is_mapping(py::handle obj) {
  if (obj.is_none()) {
    return false;
  }
  if (PyDict_Check(obj.ptr())) {
    return true;
  }
  // Imported on each call (a dictionary lookup once loaded) rather than kept past interpreter exit.
  const py::object mapping_type = py::module_::import("collections.abc").attr("Mapping");
  return py::isinstance(obj, mapping_type);
}

std::optional<std::string> text_setting(py::handle settings, const char* key) {
  py::object value = lookup(settings, key);
  if (!PyUnicode_Check(value.ptr())) {
    return std::nullopt;
  }
  return value.cast<std::string>();
}

struct Settings {
  py::dict normalized;
  core::Options options;
  double rotation = 0.0;
};

// The eleven settings are normalized as on the specified path (so a malformed value raises the
// same error); of them only "rotation" is used here. The robust keys are optional and, like the
// others, taken in range rather than refused.
Settings settings_of(py::handle processing_settings) {
  Settings s;
  s.normalized = normalize_settings(py::reinterpret_borrow<py::object>(processing_settings));
  s.rotation = bridge::to_double(s.normalized["rotation"]);
  if (auto name = text_setting(s.normalized, "robust_channel")) {
    s.options.channel = core::channel_of(*name).value_or(core::Channel::Auto);
  }
  if (auto name = text_setting(s.normalized, "robust_polarity")) {
    s.options.polarity = core::polarity_of(*name).value_or(core::Polarity::Auto);
  }
  py::object slant = lookup(s.normalized, "robust_slant");
  if (!slant.is_none()) {
    const double v = bridge::to_double(steal(PyNumber_Float(slant.ptr())));
    if (std::isfinite(v)) {
      s.options.slant = std::clamp(v, -0.3, 0.3);
    }
  }
  py::object confidence = lookup(s.normalized, "robust_min_confidence");
  if (!confidence.is_none()) {
    const double v = bridge::to_double(steal(PyNumber_Float(confidence.ptr())));
    s.options.min_confidence = std::isnan(v) ? core::Options{}.min_confidence : std::clamp(v, 0.0, 1.0);
  }
  return s;
}

// The crop as a cv::Mat view, or nullopt for a missing or empty crop. Only uint8 images are read,
// as on the specified path.
std::optional<cv::Mat> crop_mat(py::handle crop, py::array* keep) {
  if (crop.is_none()) {
    return std::nullopt;
  }
  *keep = bridge::as_ndarray(crop);
  if (keep->size() == 0) {
    return std::nullopt;
  }
  if (bridge::cv_depth_of(keep->dtype()) != CV_8U || keep->ndim() < 2 || keep->ndim() > 3) {
    bridge::raise_cv_error(cv::Exception(cv::Error::StsUnsupportedFormat,
                                         "the crop must be a uint8 image of 2 or 3 dimensions", "robust",
                                         __FILE__, __LINE__));
  }
  cv::Mat m = bridge::mat_of(*keep);
  if (m.channels() != 1 && m.channels() != 3) {
    bridge::raise_cv_error(cv::Exception(cv::Error::StsBadArg, "the crop must have 1 or 3 channels", "robust",
                                         __FILE__, __LINE__));
  }
  return m;
}

struct Read {
  core::FieldReading reading;
  int cols = 0;
  int rows = 0;
};

Read run(const cv::Mat& crop, core::FieldKind kind, const Settings& s) {
  Read out;
  out.cols = crop.cols;
  out.rows = crop.rows;
  py::gil_scoped_release release;
  cv::Mat source = crop;
  if (std::abs(s.rotation) > 0.001) {
    // The operator's rotation, with the panel repeated into the corners rather than black, which
    // on a light LCD would be ink.
    const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(crop.cols / 2.0f, crop.rows / 2.0f), s.rotation, 1.0);
    cv::warpAffine(crop, source, m, crop.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  }
  out.reading = core::read_field(source, kind, s.options);
  return out;
}

py::list box_list(const std::array<int, 4>& b) {
  py::list l;
  for (int v : b) {
    l.append(v);
  }
  return l;
}

py::list rounded(const std::array<double, 7>& values) {
  py::list l;
  for (double v : values) {
    l.append(numeric::round_decimals(v, 3));
  }
  return l;
}

const char* status_text(core::DigitStatus status) {
  switch (status) {
    case core::DigitStatus::Digit: return "digit";
    case core::DigitStatus::Empty: return "empty";
    case core::DigitStatus::Unknown: return "unknown";
  }
  return "unknown";
}

// Boxes of every position in crop pixels; a blank position without ink of its own takes the place
// one digit pitch beside its neighbour.
std::vector<std::array<int, 4>> position_boxes(const Read& r) {
  const auto& positions = r.reading.positions;
  std::vector<std::optional<std::array<int, 4>>> found(positions.size());
  for (size_t i = 0; i < positions.size(); ++i) {
    if (!positions[i].box.empty()) {
      found[i] = core::crop_box(r.reading, positions[i].box, r.cols, r.rows);
    }
  }
  std::vector<std::array<int, 4>> out(positions.size(), {0, 0, std::max(0, r.cols - 1), std::max(0, r.rows - 1)});
  for (size_t i = 0; i < positions.size(); ++i) {
    if (found[i]) {
      out[i] = *found[i];
      continue;
    }
    for (int step : {1, -1}) {
      const long j = static_cast<long>(i) + step;
      if (j >= 0 && j < static_cast<long>(positions.size()) && found[j]) {
        const auto& n = *found[j];
        const int pitch = static_cast<int>(std::lround((n[2] - n[0] + 1) * 1.3));
        const int x1 = std::clamp(n[0] - step * pitch, 0, std::max(0, r.cols - 1));
        const int x2 = std::clamp(n[2] - step * pitch, 0, std::max(0, r.cols - 1));
        out[i] = {x1, n[1], x2, n[3]};
        break;
      }
    }
  }
  return out;
}

py::list slot_items(const Read& r, const std::vector<std::array<int, 4>>& boxes) {
  py::list items;
  for (size_t i = 0; i < r.reading.positions.size(); ++i) {
    const core::DigitReading& d = r.reading.positions[i];
    py::dict item;
    item["kind"] = "digit";
    item["slot"] = static_cast<int>(i);
    item["box"] = box_list(boxes[i]);
    const bool is_digit = d.status == core::DigitStatus::Digit;
    item["char"] = is_digit ? py::object(py::int_(*d.digit)) : py::object(py::none());
    item["status"] = status_text(d.status);
    item["confidence"] = numeric::round_decimals(d.confidence, 3);
    if (!d.box.empty()) {
      py::list segments;
      for (int v : d.segments) {
        segments.append(v);
      }
      item["segments"] = segments;
      item["segment_levels"] = rounded(d.levels);
      item["ink_level"] = numeric::round_decimals(d.ink_level, 3);
    }
    if (!is_digit && d.digit) {
      item["candidate"] = *d.digit;
    }
    if (!d.note.empty()) {
      item["note"] = d.note;
    }
    items.append(item);
  }
  return items;
}

py::list layout_of(const std::vector<std::array<int, 4>>& boxes, std::optional<std::array<int, 4>> separator) {
  py::list layout;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (separator && i == 2) {
      py::dict s;
      s["kind"] = "separator";
      s["slot"] = py::none();
      s["box"] = box_list(*separator);
      layout.append(s);
    }
    py::dict d;
    d["kind"] = "digit";
    d["slot"] = static_cast<int>(i);
    d["box"] = box_list(boxes[i]);
    layout.append(d);
  }
  return layout;
}

py::list crop_size_of(const Read& r) {
  py::list size;
  size.append(r.cols);
  size.append(r.rows);
  return size;
}

// The robust evidence, added after the keys every reader's "debug" has.
void add_evidence(py::dict debug, const Read& r) {
  const core::FieldReading& f = r.reading;
  debug["profile"] = "robust";
  debug["channel"] = std::string(core::channel_name(f.ink.channel));
  debug["polarity"] = std::string(core::polarity_name(f.ink.polarity));
  debug["slant"] = numeric::round_decimals(f.slant, 3);
  debug["threshold"] = f.ink.threshold;
  debug["contrast"] = numeric::round_decimals(f.ink.contrast, 1);
  debug["scale"] = numeric::round_decimals(f.ink.scale, 3);
  debug["confidence"] = numeric::round_decimals(f.confidence, 3);
  debug["detail"] = f.detail.empty() ? py::object(py::none()) : py::object(py::str(f.detail));
}

py::dict debug_of(const Read& r, double rotation, const py::list& layout) {
  py::dict debug;
  debug["angle"] = numeric::round_decimals(rotation, 2);
  debug["crop_size"] = crop_size_of(r);
  debug["layout"] = layout;
  return debug;
}

std::optional<std::array<int, 4>> separator_box(const Read& r) {
  if (!r.reading.separator) {
    return std::nullopt;
  }
  return core::crop_box(r.reading, r.reading.separator->box, r.cols, r.rows);
}

py::object separator_dict(const Read& r) {
  const auto box = separator_box(r);
  if (!box) {
    return py::none();
  }
  const core::SeparatorFound& s = *r.reading.separator;
  py::dict d;
  d["x"] = ((*box)[0] + (*box)[2]) / 2.0;
  d["char"] = std::string(1, s.symbol);
  d["mode"] = s.symbol == '.' ? "tenths" : "minutes";
  d["confidence"] = numeric::round_decimals(s.confidence, 3);
  d["box"] = box_list(*box);
  return d;
}

py::dict field_result(const Read& r, double rotation, py::object value) {
  const auto boxes = position_boxes(r);
  const py::list layout = layout_of(boxes, std::nullopt);
  const py::list items = slot_items(r, boxes);
  py::list digits;
  for (py::handle item : items) {
    digits.append(item["char"]);
  }
  py::dict d;
  d["value"] = value;
  d["digits"] = digits;
  d["valid"] = !value.is_none();
  d["reason"] = r.reading.reason;
  d["ocr_items"] = items;
  d["geometry_items"] = layout;
  py::dict debug = debug_of(r, rotation, layout);
  add_evidence(debug, r);
  d["debug"] = debug;
  return d;
}

// Whether a role read by the clock reader lays out as a clock; a role that is not text raises as
// the specified layout does.
bool clock_layout_role(py::handle role) {
  if (!PyUnicode_Check(role.ptr())) {
    throw py::type_error("role must be a str, not " + std::string(py::str(role.get_type().attr("__name__"))));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(role.ptr(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return tessaryn::panelsight::layout_kind(std::string_view(text, static_cast<size_t>(size))) ==
         tessaryn::panelsight::LayoutKind::Clock;
}

py::object number_value(const Read& r) {
  if (!r.reading.valid) {
    return py::none();
  }
  return py::int_(std::stoi(r.reading.value));
}

}  // namespace

bool requested(py::handle processing_settings) {
  if (!is_mapping(processing_settings)) {
    return false;
  }
  py::object profile = lookup(processing_settings, "profile");
  return PyUnicode_Check(profile.ptr()) && profile.equal(py::str("robust"));
}

py::dict read_score(py::object crop, py::object role, py::object processing_settings) {
  (void)role;  // every two-digit role reads the same way
  py::array keep;
  const auto mat = crop_mat(crop, &keep);
  if (!mat) {
    return short_result("no_frame");
  }
  const Settings s = settings_of(processing_settings);
  const Read r = run(*mat, core::FieldKind::Pair, s);
  return field_result(r, s.rotation, number_value(r));
}

py::dict read_period(py::object crop, py::object processing_settings) {
  py::array keep;
  const auto mat = crop_mat(crop, &keep);
  if (!mat) {
    return short_result("no_frame");
  }
  const Settings s = settings_of(processing_settings);
  const Read r = run(*mat, core::FieldKind::Single, s);
  return field_result(r, s.rotation, number_value(r));
}

py::dict read_single_digit(py::object crop, py::object role, py::object processing_settings) {
  (void)role;  // checked by the caller against the single-digit roles
  return read_period(crop, processing_settings);
}

py::dict read_clock(py::object crop, py::object role, py::object processing_settings) {
  py::array keep;
  const auto mat = crop_mat(crop, &keep);
  if (!mat) {
    return short_result("no_frame");
  }
  const Settings s = settings_of(processing_settings);
  const bool clock_role = !bridge::truthy(role) || clock_layout_role(role);
  const Read r = run(*mat, clock_role ? core::FieldKind::Clock : core::FieldKind::Pair, s);
  const auto boxes = position_boxes(r);
  const auto sep_box = separator_box(r);
  const py::list layout = layout_of(boxes, sep_box);
  const py::list items = slot_items(r, boxes);
  const bool valid = clock_role && r.reading.valid;
  const py::object value = valid ? py::object(py::str(r.reading.value)) : py::object(py::none());
  const py::object separator = separator_dict(r);
  const bool tenths = r.reading.separator && r.reading.separator->symbol == '.';

  py::dict separator_entry;
  separator_entry["kind"] = "separator";
  separator_entry["char"] = tenths ? "." : ":";
  separator_entry["status"] = r.reading.separator ? "separator" : "unknown";
  separator_entry["confidence"] = r.reading.separator ? numeric::round_decimals(r.reading.separator->confidence, 3) : 0.0;
  separator_entry["box"] = sep_box ? py::object(box_list(*sep_box)) : py::object(py::none());
  py::list ocr_items;
  py::list digits;
  for (size_t i = 0; i < py::len(items); ++i) {
    if (i == 2) {
      ocr_items.append(separator_entry);
    }
    ocr_items.append(items[i]);
    digits.append(items[i]["char"]);
  }
  py::dict d = clock_result({value, digits, items, ocr_items, layout,
                             separator.is_none() ? py::object(py::none()) : py::object(separator["x"]),
                             py::str(tenths ? "." : ":"), py::str(tenths ? "tenths" : "minutes")});
  py::dict debug = debug_of(r, s.rotation, layout);
  debug["separator"] = separator;
  add_evidence(debug, r);
  debug["separator_assumed"] = r.reading.separator_assumed;
  d["debug"] = debug;
  return d;
}

py::object prepare_display(py::object crop, py::object detect_separator, py::object processing_settings) {
  py::array keep;
  const auto mat = crop_mat(crop, &keep);
  if (!mat) {
    return py::none();
  }
  const Settings s = settings_of(processing_settings);
  const bool with_separator = bridge::truthy(detect_separator);
  const Read r = run(*mat, with_separator ? core::FieldKind::Clock : core::FieldKind::Pair, s);
  cv::Mat binary;
  {
    py::gil_scoped_release release;
    binary = core::display_binary(r.reading.ink, r.cols, r.rows);
  }
  py::dict d;
  d["binary"] = bridge::ndarray_of(std::move(binary));
  d["angle"] = py::float_(s.rotation);
  d["crop_size"] = crop_size_of(r);
  d["separator"] = with_separator ? separator_dict(r) : py::object(py::none());
  d["processing"] = s.normalized;
  py::dict debug;
  add_evidence(debug, r);
  d["debug"] = debug;
  return d;
}

}  // namespace tessaryn::panelsight::binding::robust_path
