// Slot layouts and the score, period and single-digit readers in Python terms.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
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
  py::object zone_role = role(zone);
  py::object crop = crop_zone_from_image(zone, image);
  return read_score_from_crop(crop, zone_role, processing(zone));
}

py::dict read_score(py::object zone, py::object preview_path) {
  return read_score_from_image(zone, decode_bgr_image(preview_path));
}

py::dict read_period_from_crop(py::object crop, py::object processing_settings) {
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
  py::object zone_role = role(zone);
  py::object crop = crop_zone_from_image(zone, image);
  return read_single_digit_from_crop(crop, zone_role, processing(zone));
}

py::dict read_single_digit(py::object zone, py::object preview_path) {
  return read_single_digit_from_image(zone, decode_bgr_image(preview_path));
}

}  // namespace tessaryn::panelsight::binding
