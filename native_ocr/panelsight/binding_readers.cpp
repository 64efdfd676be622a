// Slot layouts and the score, period and single-digit readers in Python terms.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_robust.hpp"
#include "panelsight/core/field_rules.hpp"
#include "panelsight/core/layouts.hpp"

namespace tessaryn::panelsight::binding {

namespace bridge = tessaryn::py_bridge;
namespace core = tessaryn::panelsight;
using tessaryn::py_bridge::steal;

namespace {

// int() of a size argument; anything that is not a number is refused with the argument's name,
// since int() alone would also take text.
int64_t size_argument(py::handle value, const char* name) {
  PyObject* raw = value.ptr();
  if (!PyNumber_Check(raw) || PyComplex_Check(raw)) {
    throw py::type_error(std::string(name) + " must be a number, not " +
                         std::string(py::str(value.get_type().attr("__name__"))));
  }
  return bridge::int_saturating(value);
}

std::optional<double> separator_argument(py::handle value) {
  if (value.is_none()) {
    return std::nullopt;
  }
  // float() accepts numeric text too, as a detection result read back from a file might hold.
  return bridge::to_double(steal(PyNumber_Float(value.ptr())));
}

std::string role_argument(py::handle role) {
  if (!PyUnicode_Check(role.ptr())) {
    throw py::type_error("role must be a str, not " + std::string(py::str(role.get_type().attr("__name__"))));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(role.ptr(), &size);
  if (!text) {
    // A lone surrogate has no UTF-8 form; it names no known role either.
    PyErr_Clear();
    return std::string("\xff");
  }
  return std::string(text, static_cast<size_t>(size));
}

py::list layout_list(const core::Layout& layout) {
  py::list out;
  for (const core::Slot& slot : layout) {
    py::dict d;
    d["kind"] = slot.separator ? "separator" : "digit";
    d["slot"] = slot.separator ? py::object(py::none()) : py::object(py::int_(slot.digit_index));
    py::list box;
    for (double v : slot.box) {
      box.append(bridge::int_from_whole_double(v));
    }
    d["box"] = box;
    out.append(d);
  }
  return out;
}

py::dict short_result(const char* reason) {
  py::dict d;
  d["value"] = py::none();
  d["valid"] = false;
  d["reason"] = reason;
  return d;
}

py::object get(py::handle item, const char* key) { return item.attr("get")(key); }

bool equals(py::handle value, const char* text) {
  const int equal = PyObject_RichCompareBool(value.ptr(), py::str(text).ptr(), Py_EQ);
  if (equal < 0) {
    throw py::error_already_set();
  }
  return equal == 1;
}

core::SlotStatus status_of(py::handle item) {
  py::object status = get(item, "status");
  if (equals(status, "digit")) {
    return core::SlotStatus::Digit;
  }
  return equals(status, "empty") ? core::SlotStatus::Empty : core::SlotStatus::Other;
}

int64_t digit_of(py::handle item) { return bridge::int_saturating(get(item, "char")); }

// What the three plain readers share: the prepared crop, its layout and the digit reader's results.
struct FieldRead {
  PreparedDisplay prepared;
  py::list layout;
  py::object items;
};

FieldRead read_field(const PreparedDisplay& prepared, py::handle role) {
  FieldRead read{prepared, py::list(), py::none()};
  const int64_t width = bridge::int_saturating(prepared.crop_size[0]);
  const int64_t height = bridge::int_saturating(prepared.crop_size[1]);
  read.layout = layout_list(core::layout_for_role(role_argument(role), width, height, std::nullopt));
  read.items = read_slots(prepared.binary, read.layout);
  return read;
}

py::dict debug_of(const FieldRead& read) {
  py::dict debug;
  debug["angle"] = py::float_(numeric::round_decimals(read.prepared.angle, 2));
  debug["crop_size"] = read.prepared.crop_size;
  debug["layout"] = read.layout;
  return debug;
}

py::dict full_result(const FieldRead& read, py::object value, py::list digits, py::object reason) {
  py::dict d;
  const bool valid = !value.is_none();
  d["value"] = value;
  d["digits"] = digits;
  d["valid"] = valid;
  d["reason"] = reason;
  d["ocr_items"] = read.items;
  d["geometry_items"] = read.layout;
  d["debug"] = debug_of(read);
  return d;
}

// The image form of a reader that takes the zone's role: the crop cut for the zone, read with the
// zone's role and processing settings.
using CropReader = py::dict (*)(py::object crop, py::object role, py::object processing_settings);
py::dict read_zone_of_image(CropReader read, py::handle zone, py::object image) {
  py::object zone_role = role(py::reinterpret_borrow<py::object>(zone));
  py::object crop = crop_zone_from_image(py::reinterpret_borrow<py::object>(zone), image);
  return read(crop, zone_role, processing(py::reinterpret_borrow<py::object>(zone)));
}

}  // namespace

py::object read_slots(py::object binary, py::object slots) {
  // Looked up by name through the import system on every call, so that a replaced module (or a
  // replaced read_slots) takes effect; the import system caches the module after the first time.
  py::module_ segmark = py::module_::import("native_ocr.segmark");
  return segmark.attr("read_slots")(binary, slots);
}

py::list equal_digit_slots(py::object width, py::object height, py::object count) {
  const int64_t w = size_argument(width, "width");
  const int64_t h = size_argument(height, "height");
  const int64_t n = size_argument(count, "count");
  return layout_list(core::equal_digit_slots(w, h, n));
}

py::list clock_slots(py::object width, py::object height, py::object separator_x) {
  const int64_t w = size_argument(width, "width");
  const int64_t h = size_argument(height, "height");
  return layout_list(core::clock_slots(w, h, separator_argument(separator_x)));
}

py::list layout_for_role(py::object role, py::object width, py::object height, py::object separator_x) {
  const std::string name = role_argument(role);
  const int64_t w = size_argument(width, "width");
  const int64_t h = size_argument(height, "height");
  return layout_list(core::layout_for_role(name, w, h, separator_argument(separator_x)));
}

py::dict read_score_from_crop(py::object crop, py::object role, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_score(crop, role, processing_settings);
  const auto prepared = prepare_display_of_crop(crop, py::bool_(false), processing_settings);
  if (!prepared) {
    return short_result("no_frame");
  }
  py::object used_role = bridge::truthy(role) ? role : py::str("home_score");
  const FieldRead read = read_field(*prepared, used_role);
  if (py::len(read.items) != 2) {
    py::dict d = short_result("layout");
    d["ocr_items"] = read.items;
    return d;
  }
  py::object tens = read.items[py::int_(0)];
  py::object units = read.items[py::int_(1)];
  const core::SlotStatus tens_status = status_of(tens);
  const core::SlotStatus units_status = status_of(units);
  const int64_t tens_digit = tens_status == core::SlotStatus::Digit ? digit_of(tens) : 0;
  const int64_t units_digit = units_status == core::SlotStatus::Digit ? digit_of(units) : 0;
  const core::FieldReading r = core::score_reading(tens_status, tens_digit, units_status, units_digit);
  py::list digits;
  digits.append(get(tens, "char"));
  digits.append(get(units, "char"));
  py::object value = r.value ? py::object(py::int_(*r.value)) : py::object(py::none());
  return full_result(read, value, digits, py::str(r.reason));
}

py::dict read_score_from_image(py::object zone, py::object image) {
  return read_zone_of_image(&read_score_from_crop, zone, image);
}

py::dict read_score(py::object zone, py::object preview_path) {
  return read_score_from_image(zone, decode_bgr_image(preview_path));
}

py::dict read_period_from_crop(py::object crop, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_period(crop, processing_settings);
  const auto prepared = prepare_display_of_crop(crop, py::bool_(false), processing_settings);
  if (!prepared) {
    return short_result("no_frame");
  }
  const FieldRead read = read_field(*prepared, py::str("period"));
  py::object item = read.items[py::int_(0)];
  const bool valid = status_of(item) == core::SlotStatus::Digit;
  py::object ch = get(item, "char");
  py::list digits;
  digits.append(ch);
  return full_result(read, valid ? ch : py::object(py::none()), digits,
                     valid ? py::object(py::str("ok")) : get(item, "status"));
}

py::dict read_period_from_image(py::object zone, py::object image) {
  py::object crop = crop_zone_from_image(zone, image);
  return read_period_from_crop(crop, processing(zone));
}

py::dict read_period(py::object zone, py::object preview_path) {
  return read_period_from_image(zone, decode_bgr_image(preview_path));
}

py::dict read_single_digit_from_crop(py::object crop, py::object role, py::object processing_settings) {
  // Refused before the crop is looked at: only these fields are known to be one digit.
  py::object roles = py::module_::import("native_ocr.panelsight").attr("SINGLE_DIGIT_ROLES");
  const int known = PySequence_Contains(roles.ptr(), role.ptr());
  if (known < 0) {
    throw py::error_already_set();
  }
  if (known == 0) {
    return short_result("layout");
  }
  if (robust_path::requested(processing_settings)) return robust_path::read_single_digit(crop, role, processing_settings);
  const auto prepared = prepare_display_of_crop(crop, py::bool_(false), processing_settings);
  if (!prepared) {
    return short_result("no_frame");
  }
  const FieldRead read = read_field(*prepared, role);
  py::object item = read.items[py::int_(0)];
  py::object ch = get(item, "char");
  bool valid = status_of(item) == core::SlotStatus::Digit;
  if (valid) {
    // The character must spell a whole number in decimal digits.
    py::str text = py::str(ch);
    valid = py::len(text) > 0 && bridge::truthy(text.attr("isdigit")());
  }
  py::list digits;
  digits.append(ch);
  py::object value = valid ? steal(PyNumber_Long(ch.ptr())) : py::object(py::none());
  return full_result(read, value, digits, valid ? py::object(py::str("ok")) : get(item, "status"));
}

py::dict read_single_digit_from_image(py::object zone, py::object image) {
  return read_zone_of_image(&read_single_digit_from_crop, zone, image);
}

py::dict read_single_digit(py::object zone, py::object preview_path) {
  return read_single_digit_from_image(zone, decode_bgr_image(preview_path));
}

namespace {

// The characters one side of the clock shows: a digit's text, nothing for a blank position, and
// no reading at all when either position is unreadable.
std::optional<std::vector<py::str>> side_characters(const py::list& side) {
  std::vector<py::str> chars;
  for (py::handle slot : side) {
    const core::SlotStatus status = status_of(slot);
    if (status == core::SlotStatus::Digit) {
      chars.push_back(py::str(get(slot, "char")));
    } else if (status == core::SlotStatus::Empty) {
      chars.push_back(py::str(""));
    } else {
      return std::nullopt;
    }
  }
  return chars;
}

py::str joined(const std::vector<py::str>& chars) {
  py::list parts;
  for (const py::str& c : chars) {
    parts.append(c);
  }
  return py::str("").attr("join")(parts);
}

py::object clock_value(const std::optional<std::vector<py::str>>& left, const std::optional<std::vector<py::str>>& right,
                       py::handle separator_char) {
  if (!left || !right) {
    return py::none();
  }
  const py::str left_text = joined(*left);
  const bool has_left = py::len(left_text) > 0;
  if (py::reinterpret_borrow<py::object>(separator_char).equal(py::str("."))) {
    // Seconds and tenths: the second right position does not enter the value.
    const py::str tenths = right->empty() ? py::str("") : right->front();
    if (has_left && py::len(tenths) > 0) {
      return left_text + py::str(".") + tenths;
    }
    return py::none();
  }
  const py::str right_text = joined(*right);
  if (has_left && py::len(right_text) > 0) {
    return left_text + py::str(":") + right_text;
  }
  return py::none();
}

py::list slice_of(py::handle items, Py_ssize_t start, Py_ssize_t stop) {
  return steal(PySequence_List(steal(PySequence_GetSlice(items.ptr(), start, stop)).ptr())).cast<py::list>();
}

}  // namespace

py::dict read_clock_from_crop(py::object crop, py::object role, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_clock(crop, role, processing_settings);
  const auto prepared = prepare_display_of_crop(crop, py::bool_(true), processing_settings);
  if (!prepared) {
    return short_result("no_frame");
  }
  const py::object separator = prepared->separator;
  const bool detected = bridge::truthy(separator);
  const py::object separator_x = detected ? get(separator, "x") : py::object(py::none());
  const py::object used_role = bridge::truthy(role) ? role : py::str("clock");
  const py::list layout = layout_for_role(used_role, prepared->crop_size[0], prepared->crop_size[1], separator_x);
  const py::object digit_items = read_slots(prepared->binary, layout);

  const py::list left = slice_of(digit_items, 0, 2);
  const py::list right = slice_of(digit_items, 2, 4);
  const py::object separator_char = detected ? separator.attr("get")("char", ":") : py::object(py::str(":"));
  const py::object clock_mode = detected ? separator.attr("get")("mode", "minutes") : py::object(py::str("minutes"));
  const py::object value = clock_value(side_characters(left), side_characters(right), separator_char);

  py::dict separator_entry;
  separator_entry["kind"] = "separator";
  separator_entry["char"] = separator_char;
  separator_entry["status"] = detected ? "separator" : "unknown";
  separator_entry["confidence"] =
      py::float_(detected ? bridge::to_double(steal(PyNumber_Float(
                                separator.attr("get")("confidence", 0.0).ptr())))
                          : 0.0);
  separator_entry["box"] = py::none();
  for (py::handle slot : layout) {
    if (get(slot, "kind").equal(py::str("separator"))) {
      separator_entry["box"] = slot["box"];
      break;
    }
  }
  py::list ocr_items;
  for (py::handle slot : left) {
    ocr_items.append(slot);
  }
  ocr_items.append(separator_entry);
  for (py::handle slot : right) {
    ocr_items.append(slot);
  }
  py::list digits;
  for (py::handle slot : digit_items) {
    digits.append(get(slot, "char"));
  }

  const bool valid = !value.is_none();
  py::dict d;
  d["value"] = value;
  d["raw_value"] = value;
  d["digits"] = digits;
  d["digit_items"] = digit_items;
  d["ocr_items"] = ocr_items;
  d["geometry_items"] = layout;
  d["separator_x"] = separator_x;
  d["separator_char"] = separator_char;
  d["clock_mode"] = clock_mode;
  d["valid"] = valid;
  d["stable"] = true;
  d["accepted"] = valid;
  d["reason"] = valid ? "raw" : "unrecognized";
  py::dict debug;
  debug["angle"] = py::float_(numeric::round_decimals(prepared->angle, 2));
  debug["crop_size"] = prepared->crop_size;
  debug["layout"] = layout;
  debug["separator"] = separator;
  d["debug"] = debug;
  return d;
}

py::dict read_clock_from_image(py::object zone, py::object image) {
  return read_zone_of_image(&read_clock_from_crop, zone, image);
}

py::dict read_clock(py::object zone, py::object preview_path) {
  return read_clock_from_image(zone, decode_bgr_image(preview_path));
}

}  // namespace tessaryn::panelsight::binding
