// Slot layouts and the score, period and single-digit readers in Python terms.
#include <pybind11/pybind11.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/mat_view.hpp"
#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_support.hpp"
#include "panelsight/binding_robust.hpp"
#include "panelsight/core/field_rules.hpp"
#include "panelsight/core/layouts.hpp"
#include "panelsight/core/separator/detect.hpp"
#include "segmark/reader_api.hpp"

namespace tessaryn::panelsight::binding {

namespace bridge = tessaryn::py_bridge;
namespace core = tessaryn::panelsight;
namespace segmark = tessaryn::segmark;
using tessaryn::ElementType;
using tessaryn::StridedImage;
using tessaryn::py_bridge::steal;

namespace {

// int() of a size argument; anything that is not a number is refused with the argument's name,
// since int() alone would also take text.
py::object whole_argument(py::handle value, const char* name) {
  PyObject* raw = value.ptr();
  if (!PyNumber_Check(raw) || PyComplex_Check(raw)) {
    throw py::type_error(std::string(name) + " must be a number, not " +
                         std::string(py::str(value.get_type().attr("__name__"))));
  }
  return bridge::int_exact(value);
}

// A width or height: the layout counts in doubles, so the size is the double nearest the whole
// number (exact up to 2^53), and OverflowError beyond a double's range as Python's float() gives.
double size_of(const py::object& whole) {
  if (bridge::py_less(whole, py::int_(1))) {
    return 1.0;  // every size below 1 counts as 1, before any float is made of it
  }
  const double size = PyLong_AsDouble(whole.ptr());
  if (size == -1.0 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return size;
}

// A slot count: one slot is made per count, so a count beyond 2^62 fails as the memory for it
// runs out, as it would at the true count.
int64_t count_argument(py::handle value, const char* name) {
  return bridge::int_saturating(whole_argument(value, name));
}

// The bottom row height - 1, and a clock's last column width - 1, are whole numbers in Python's
// integers; beyond 2^53 the double layout cannot hold them, so they are set exactly.
py::list with_exact_edges(py::list layout, const py::object& width, const py::object& height, bool clock) {
  const py::object one = py::int_(1);
  const auto at_least_one = [&](const py::object& whole) { return bridge::py_less(whole, one) ? one : whole; };
  const py::object h = at_least_one(height);
  const py::object w = at_least_one(width);
  const bool tall = !bridge::int_within(h, bridge::kExactInDouble);
  const bool wide = clock && !bridge::int_within(w, bridge::kExactInDouble);
  if (!tall && !wide) {
    return layout;
  }
  for (size_t i = 0; i < layout.size(); ++i) {
    py::list box = py::reinterpret_borrow<py::dict>(layout[i])["box"];
    if (tall) {
      box[3] = h - one;
    }
    if (wide && i + 1 == layout.size()) {
      box[2] = w - one;
    }
  }
  return layout;
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

// int(item["char"]) as Python computes it, whatever its size.
py::object digit_of(py::handle item) { return steal(PyNumber_Long(get(item, "char").ptr())); }

// What the readers share: the prepared crop, its layout and the digit reader's results.
struct FieldRead {
  PreparedDisplay prepared;
  py::list layout;
  py::object items;
};

// ---- one read with the GIL released once ----------------------------------------------------------

// The digit reader's offer to read cells in this module's own loop, when the module that the
// import system holds under its name is the real one with its own read_slots.
struct NativeDigitReader {
  const segmark::ReaderApi* api = nullptr;
  segmark::CallConstantsHandle* constants = nullptr;
  NativeDigitReader() = default;
  NativeDigitReader(const NativeDigitReader&) = delete;
  NativeDigitReader& operator=(const NativeDigitReader&) = delete;
  ~NativeDigitReader() {
    if (constants) {
      api->release_constants(constants);
    }
  }
};

// Fills `reader` and returns true when the digit reader can be used directly; anything unusual
// (a replaced function, a stand-in module, constants it would refuse) leaves the call to go through
// Python, which then raises or answers as it would.
bool native_digit_reader(NativeDigitReader& reader) {
  PyObject* raw = PyImport_ImportModule("native_ocr.segmark");
  if (!raw) {
    PyErr_Clear();
    return false;
  }
  const py::object module = py::reinterpret_steal<py::object>(raw);
  const py::object capsule = attribute_or_none(module, "_reader_api");
  if (!PyCapsule_IsValid(capsule.ptr(), segmark::kReaderApiCapsule)) {
    return false;
  }
  const auto* api =
      static_cast<const segmark::ReaderApi*>(PyCapsule_GetPointer(capsule.ptr(), segmark::kReaderApiCapsule));
  if (!api || api->version != segmark::kReaderApiVersion) {
    PyErr_Clear();
    return false;
  }
  const py::object read_slots_now = attribute_or_none(module, "read_slots");
  if (read_slots_now.ptr() != api->read_slots) {
    return false;
  }
  reader.api = api;
  reader.constants = api->take_constants(module.ptr());
  if (!reader.constants) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// The whole read in C++ without the GIL: preparation, the separator detection for a clock, the
// layout and every digit cell. Empty when some stage it would reach was replaced from Python (or is
// otherwise not the module's own), and the read must go through the module.
std::optional<FieldRead> read_in_one_release(const CropInputs& in, py::handle crop, bool clock, py::handle role) {
  if (in.image.total() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    return std::nullopt;
  }
  if (clock && !(is_own_attribute("_detect_clock_separator_without_regions") && native_detection_ready(false) &&
                 separator_source_supported(bridge::as_ndarray(crop)))) {
    return std::nullopt;
  }
  NativeDigitReader reader;
  if (!native_digit_reader(reader)) {
    return std::nullopt;
  }
  const std::string role_name = role_argument(role);
  const py::array crop_array = bridge::as_ndarray(crop);
  const cv::Mat colour = clock ? bridge::mat_of(crop_array) : cv::Mat();

  struct Work {
    cv::Mat binary;
    std::optional<separator::Detection> detection;
    core::Layout layout;
    std::vector<segmark::SlotReading> readings;
  };
  Work work = bridge::without_gil([&] {
    Work w;
    w.binary = core::process_image(in.image, in.layout, in.settings.values);
    std::optional<double> separator_x;
    if (clock) {
      w.detection = separator::detect_separator(colour, separator::WindowBlur::Sheet);
      if (w.detection) {
        separator_x = w.detection->selected.x;
      }
    }
    w.layout = core::layout_for_role(role_name, w.binary.cols, w.binary.rows, separator_x);
    const StridedImage view = view_of(w.binary);
    for (const core::Slot& slot : w.layout) {
      if (!slot.separator) {
        const segmark::Box box{static_cast<int64_t>(slot.box[0]), static_cast<int64_t>(slot.box[1]),
                               static_cast<int64_t>(slot.box[2]), static_cast<int64_t>(slot.box[3])};
        w.readings.push_back(reader.api->read_cell(view, box, reader.constants));
      }
    }
    return w;
  });

  py::object separator = clock ? detection_result(work.detection) : py::object(py::none());
  FieldRead read{prepared_display(in, std::move(work.binary), separator), layout_list(work.layout), py::list()};
  py::list items;
  size_t reading = 0;
  for (size_t i = 0; i < work.layout.size(); ++i) {
    if (!work.layout[i].separator) {
      PyObject* result = reader.api->slot_result(read.layout[i].ptr(), work.readings[reading++], reader.constants);
      items.append(steal(result));
    }
  }
  read.items = items;
  return read;
}

// `role`, or `fallback` when it is empty or false (nullptr: role as given).
py::object used_role(py::handle role, const char* fallback) {
  if (fallback && !bridge::truthy(role)) {
    return py::str(fallback);
  }
  return py::reinterpret_borrow<py::object>(role);
}

// The read of a field's crop: in one piece when every stage is the module's own, otherwise stage by
// stage through the module. Empty when the crop has no pixels.
std::optional<FieldRead> read_field(py::object crop, bool clock, py::object role, const char* fallback_role,
                                    py::object processing_settings) {
  const std::optional<CropInputs> in = crop_inputs(crop, processing_settings);
  if (!in) {
    return std::nullopt;
  }
  // A text's truth value runs no code of the caller's, so it may be taken this early.
  if (PyUnicode_CheckExact(role.ptr())) {
    if (std::optional<FieldRead> read = read_in_one_release(*in, crop, clock, used_role(role, fallback_role))) {
      return read;
    }
  }
  cv::Mat binary = bridge::without_gil([&] { return core::process_image(in->image, in->layout, in->settings.values); });
  py::object separator = py::none();
  if (clock) {
    // Looked up when needed, so that the detection can be replaced (or is simply absent).
    if (const std::optional<py::object> detect = module_attribute("_detect_clock_separator_without_regions")) {
      separator = (*detect)(crop, py::float_(0.0));
    }
  }
  FieldRead read{prepared_display(*in, std::move(binary), separator), py::list(), py::none()};
  py::object separator_x = py::none();
  if (clock && bridge::truthy(separator)) {
    separator_x = get(separator, "x");
  }
  read.layout = layout_for_role(used_role(role, fallback_role), read.prepared.crop_size[0],
                                read.prepared.crop_size[1], separator_x);
  read.items = read_slots(read.prepared.binary, read.layout);
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
  const py::object w = whole_argument(width, "width");
  const py::object h = whole_argument(height, "height");
  const int64_t n = count_argument(count, "count");
  return with_exact_edges(layout_list(core::equal_digit_slots(size_of(w), size_of(h), n)), w, h, false);
}

py::list clock_slots(py::object width, py::object height, py::object separator_x) {
  const py::object w = whole_argument(width, "width");
  const py::object h = whole_argument(height, "height");
  return with_exact_edges(layout_list(core::clock_slots(size_of(w), size_of(h), separator_argument(separator_x))), w, h,
                          true);
}

py::list layout_for_role(py::object role, py::object width, py::object height, py::object separator_x) {
  const std::string name = role_argument(role);
  const py::object w = whole_argument(width, "width");
  const py::object h = whole_argument(height, "height");
  // Only a clock's layout has a separator to place; other roles never look at the value.
  const bool clock = core::layout_kind(name) == core::LayoutKind::Clock;
  const std::optional<double> separator = clock ? separator_argument(separator_x) : std::nullopt;
  return with_exact_edges(layout_list(core::layout_for_role(name, size_of(w), size_of(h), separator)), w, h, clock);
}

py::dict read_score_from_crop(py::object crop, py::object role, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_score(crop, role, processing_settings);
  const std::optional<FieldRead> read = read_field(crop, false, role, "home_score", processing_settings);
  if (!read) {
    return short_result("no_frame");
  }
  if (py::len(read->items) != 2) {
    py::dict d = short_result("layout");
    d["ocr_items"] = read->items;
    return d;
  }
  py::object tens = read->items[py::int_(0)];
  py::object units = read->items[py::int_(1)];
  const core::SlotStatus units_status = status_of(units);
  const core::SlotStatus tens_status = status_of(tens);
  const core::ScoreForm form = core::score_form(tens_status, units_status);
  py::object value = py::none();
  if (form == core::ScoreForm::UnitsOnly) {
    value = digit_of(units);
  } else if (form == core::ScoreForm::TensAndUnits) {
    const py::object tens_value = digit_of(tens);
    const py::object units_value = digit_of(units);
    value = steal(PyNumber_Add(steal(PyNumber_Multiply(py::int_(10).ptr(), tens_value.ptr())).ptr(),
                               units_value.ptr()));
  }
  py::list digits;
  digits.append(get(tens, "char"));
  digits.append(get(units, "char"));
  return full_result(*read, value, digits, py::str(core::score_reason(form)));
}

py::dict read_score_from_image(py::object zone, py::object image) {
  return read_zone_of_image(&read_score_from_crop, zone, image);
}

py::dict read_score(py::object zone, py::object preview_path) {
  return read_score_from_image(zone, decode_bgr_image(preview_path));
}

py::dict read_period_from_crop(py::object crop, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_period(crop, processing_settings);
  const std::optional<FieldRead> read = read_field(crop, false, py::str("period"), nullptr, processing_settings);
  if (!read) {
    return short_result("no_frame");
  }
  py::object item = read->items[py::int_(0)];
  const bool valid = status_of(item) == core::SlotStatus::Digit;
  py::object ch = get(item, "char");
  py::list digits;
  digits.append(ch);
  return full_result(*read, valid ? ch : py::object(py::none()), digits,
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
  const std::optional<FieldRead> read = read_field(crop, false, role, nullptr, processing_settings);
  if (!read) {
    return short_result("no_frame");
  }
  py::object item = read->items[py::int_(0)];
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
  return full_result(*read, value, digits, valid ? py::object(py::str("ok")) : get(item, "status"));
}

py::dict read_single_digit_from_image(py::object zone, py::object image) {
  return read_zone_of_image(&read_single_digit_from_crop, zone, image);
}

py::dict read_single_digit(py::object zone, py::object preview_path) {
  return read_single_digit_from_image(zone, decode_bgr_image(preview_path));
}

namespace {

// Python's str(obj) as UTF-8, lone surrogates kept, so that the text comes back unchanged.
std::string text_of(py::handle obj) {
  const py::str text = steal(PyObject_Str(obj.ptr()));
  const py::object bytes = steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

py::object text_object(const std::string& text) {
  return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// The positions of one side of the clock, the character's text only where a digit was read.
std::vector<core::ClockPosition> clock_positions(const py::list& side) {
  std::vector<core::ClockPosition> positions;
  for (py::handle slot : side) {
    core::ClockPosition p;
    p.status = status_of(slot);
    if (p.status == core::SlotStatus::Digit) {
      p.text = text_of(get(slot, "char"));
    } else if (p.status == core::SlotStatus::Other) {
      positions.push_back(p);
      break;  // the side is unreadable whatever follows
    }
    positions.push_back(p);
  }
  return positions;
}

py::list slice_of(py::handle items, Py_ssize_t start, Py_ssize_t stop) {
  return steal(PySequence_List(steal(PySequence_GetSlice(items.ptr(), start, stop)).ptr())).cast<py::list>();
}

}  // namespace

py::dict read_clock_from_crop(py::object crop, py::object role, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::read_clock(crop, role, processing_settings);
  const std::optional<FieldRead> read = read_field(crop, true, role, "clock", processing_settings);
  if (!read) {
    return short_result("no_frame");
  }
  const PreparedDisplay& prepared = read->prepared;
  const py::object separator = prepared.separator;
  const bool detected = bridge::truthy(separator);
  const py::object separator_x = detected ? get(separator, "x") : py::object(py::none());
  const py::list& layout = read->layout;
  const py::object& digit_items = read->items;

  const py::list left = slice_of(digit_items, 0, 2);
  const py::list right = slice_of(digit_items, 2, 4);
  const py::object separator_char = detected ? separator.attr("get")("char", ":") : py::object(py::str(":"));
  const py::object clock_mode = detected ? separator.attr("get")("mode", "minutes") : py::object(py::str("minutes"));
  const std::vector<core::ClockPosition> left_positions = clock_positions(left);
  const std::vector<core::ClockPosition> right_positions = clock_positions(right);
  const char separator_kind = separator_char.equal(py::str(".")) ? '.' : ':';
  const std::optional<std::string> text = core::clock_text(left_positions, right_positions, separator_kind);
  const py::object value = text ? text_object(*text) : py::object(py::none());

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

  py::dict d = clock_result({value, digits, digit_items, ocr_items, layout, separator_x, separator_char, clock_mode});
  py::dict debug;
  debug["angle"] = py::float_(numeric::round_decimals(prepared.angle, 2));
  debug["crop_size"] = prepared.crop_size;
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
