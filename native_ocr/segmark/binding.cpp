// Python surface of the digit reader. Every Python rule lives here: which constants are read from
// the module on each call, how arguments convert, which exception is raised, and the exact keys,
// order and types of the result dictionaries. The core below never sees a Python object.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "segmark/core/cell.hpp"
#include "segmark/core/classify.hpp"
#include "segmark/core/constants.hpp"
#include "segmark/core/digit.hpp"
#include "segmark/core/frame.hpp"
#include "segmark/core/glyph.hpp"
#include "segmark/core/runs.hpp"
#include "segmark/core/strengths.hpp"
#include "segmark/core/structure.hpp"
#include "segmark/reader_api.hpp"

namespace py = pybind11;
namespace bridge = tessaryn::py_bridge;
using namespace tessaryn::segmark;
using tessaryn::StridedImage;
using tessaryn::py_bridge::steal;

namespace {

// The module as first initialised. The constants are read from the module that the import system
// holds under its name now (a re-import after `del sys.modules[...]` makes a new module object that
// shares these functions), and from this one only when there is none.
PyObject* g_module = nullptr;

// An interned text, made once: dictionary keys and constant names are looked up and stored on
// every slot, and building them anew each time costs more than reading the digit.
class Name {
 public:
  explicit Name(const char* text) : text_(text) {}
  PyObject* get() const {
    if (!object_) {
      object_ = PyUnicode_InternFromString(text_);
      if (!object_) {
        throw py::error_already_set();
      }
    }
    return object_;
  }
  py::object object() const { return py::reinterpret_borrow<py::object>(get()); }
  const char* text() const { return text_; }

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;  // only touched with the GIL held
};

const Name kModuleName("native_ocr.segmark");

// The module whose constants a call reads: the one registered under the module's name.
py::object current_module() {
  PyObject* module = PyImport_GetModule(kModuleName.get());  // new reference or null
  if (module) {
    return py::reinterpret_steal<py::object>(module);
  }
  if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(g_module);
}

py::object module_constant(py::handle module, const Name& name) {
  PyObject* dict = PyModule_GetDict(module.ptr());  // borrowed
  if (!dict) {
    throw py::error_already_set();
  }
  PyObject* value = PyDict_GetItemWithError(dict, name.get());  // borrowed
  if (!value) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
    }
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

// d[key] = value
void put(py::dict& d, const Name& key, const py::handle value) {
  if (PyDict_SetItem(d.ptr(), key.get(), value.ptr()) < 0) {
    throw py::error_already_set();
  }
}

#define TESSARYN_NAME(id) const Name id(#id)
namespace names {
TESSARYN_NAME(SEGMENT_NAMES);
TESSARYN_NAME(DIGIT_PATTERNS);
TESSARYN_NAME(STRUCTURAL_PROJECTION_RATIO);
TESSARYN_NAME(STRUCTURAL_MIN_PIXELS);
TESSARYN_NAME(MARGINAL_RUN_MAX_HEIGHT_RATIO);
TESSARYN_NAME(MARGINAL_RUN_MIN_GAP_RATIO);
TESSARYN_NAME(WIDE_GLYPH_MIN_WIDTH_RATIO);
TESSARYN_NAME(HORIZONTAL_PROBE_CENTER_SPAN);
TESSARYN_NAME(VERTICAL_STROKE_MAX_WIDTH_RATIO);
TESSARYN_NAME(VERTICAL_STROKE_MAX_ASPECT);
TESSARYN_NAME(VERTICAL_STROKE_MIN_ROWS);
TESSARYN_NAME(COMPONENT_MIN_AREA);
TESSARYN_NAME(COMPONENT_AREA_FRACTION);
TESSARYN_NAME(kind);
TESSARYN_NAME(digit);
TESSARYN_NAME(box);
TESSARYN_NAME(glyph_box);
const Name char_("char");
TESSARYN_NAME(status);
TESSARYN_NAME(empty);
TESSARYN_NAME(unknown);
TESSARYN_NAME(confidence);
TESSARYN_NAME(empty_confidence);
TESSARYN_NAME(ink_ratio);
TESSARYN_NAME(segments);
TESSARYN_NAME(fills);
TESSARYN_NAME(segment_names);
TESSARYN_NAME(segment_strengths);
TESSARYN_NAME(segment_activation);
TESSARYN_NAME(matched_pattern);
TESSARYN_NAME(pattern_variant);
TESSARYN_NAME(pattern_score);
TESSARYN_NAME(runner_up);
TESSARYN_NAME(runner_up_score);
TESSARYN_NAME(geometry_source);
TESSARYN_NAME(disabled);
TESSARYN_NAME(frame_method);
TESSARYN_NAME(horizontal_frame_source);
TESSARYN_NAME(horizontal_structure_position);
TESSARYN_NAME(vertical_core_top);
TESSARYN_NAME(vertical_core_bottom);
TESSARYN_NAME(vertical_extended_top);
TESSARYN_NAME(vertical_extended_bottom);
TESSARYN_NAME(structural_top);
TESSARYN_NAME(structural_bottom);
TESSARYN_NAME(structural_left);
TESSARYN_NAME(structural_right);
TESSARYN_NAME(structural_width_ratio);
TESSARYN_NAME(nominal_segment_length);
TESSARYN_NAME(nominal_frame_width);
TESSARYN_NAME(geometry_samples);
TESSARYN_NAME(geometry_locked);
TESSARYN_NAME(observed_width_ratio);
TESSARYN_NAME(learned_left);
TESSARYN_NAME(learned_right);
TESSARYN_NAME(learned_width_ratio);
TESSARYN_NAME(get);
}  // namespace names
#undef TESSARYN_NAME

// The digit table as read from DIGIT_PATTERNS, with the Python objects that results hand back.
struct PatternTable {
  std::vector<py::object> digit_keys;  // one per digit, in mapping order
  std::vector<py::object> patterns;    // one per pattern, in table order
};

struct CallConstants {
  Constants k;
  PatternTable table;
  py::object segment_names;  // SEGMENT_NAMES as read at the start of the call
};

// Whether a pattern entry marks its segment lit: equal to 1, as True and 1.0 are.
bool lit(py::handle entry) {
  static PyObject* const one = PyLong_FromLong(1);  // immortal enough: never released
  const int equal = PyObject_RichCompareBool(entry.ptr(), one, Py_EQ);
  if (equal < 0) {
    throw py::error_already_set();
  }
  return equal == 1;
}

CallConstants read_constants(py::handle module) {
  CallConstants c;
  Constants& k = c.k;
  py::object digit_patterns = module_constant(module, names::DIGIT_PATTERNS);
  // Read on every call (the table may be replaced or edited between calls). Each level is copied
  // into a tuple that owns its items before anything of it is looked at, since comparing an entry
  // runs the entry's own code, which may change the lists it came from.
  auto add_digit = [&](py::handle key, py::handle variants) {
    const int64_t digit_index = static_cast<int64_t>(c.table.digit_keys.size());
    c.table.digit_keys.push_back(py::reinterpret_borrow<py::object>(key));
    const py::tuple list = steal(PySequence_Tuple(variants.ptr()));
    for (size_t v = 0; v < list.size(); ++v) {
      const py::object pattern = list[v];
      const py::tuple bits = steal(PySequence_Tuple(pattern.ptr()));
      Pattern p;
      p.digit_index = digit_index;
      p.variant = static_cast<int64_t>(v);
      p.expected.resize(bits.size());
      for (size_t i = 0; i < bits.size(); ++i) {
        p.expected[i] = lit(bits[i]) ? 1 : 0;
      }
      k.patterns.push_back(std::move(p));
      c.table.patterns.push_back(pattern);
    }
  };
  const py::object items = steal(PySequence_List(digit_patterns.attr("items")().ptr()));
  for (py::handle item : items) {
    const py::tuple pair = steal(PySequence_Tuple(item.ptr()));
    if (pair.size() != 2) {
      throw py::value_error("DIGIT_PATTERNS items must be (digit, patterns) pairs");
    }
    add_digit(pair[0], pair[1]);
  }
  auto number = [&](const Name& name) { return bridge::to_double(module_constant(module, name)); };
  k.structural_projection_ratio = number(names::STRUCTURAL_PROJECTION_RATIO);
  k.structural_min_pixels = number(names::STRUCTURAL_MIN_PIXELS);
  k.marginal_run_max_height_ratio = number(names::MARGINAL_RUN_MAX_HEIGHT_RATIO);
  k.marginal_run_min_gap_ratio = number(names::MARGINAL_RUN_MIN_GAP_RATIO);
  k.wide_glyph_min_width_ratio = number(names::WIDE_GLYPH_MIN_WIDTH_RATIO);
  k.horizontal_probe_center_span = number(names::HORIZONTAL_PROBE_CENTER_SPAN);
  k.vertical_stroke_max_width_ratio = number(names::VERTICAL_STROKE_MAX_WIDTH_RATIO);
  k.vertical_stroke_max_aspect = number(names::VERTICAL_STROKE_MAX_ASPECT);
  k.vertical_stroke_min_rows = number(names::VERTICAL_STROKE_MIN_ROWS);
  k.component_min_area = number(names::COMPONENT_MIN_AREA);
  k.component_area_fraction = number(names::COMPONENT_AREA_FRACTION);
  // Looked at only when a classified slot lists the names, so a missing one spoils only those.
  PyObject* segment_names = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), names::SEGMENT_NAMES.get());
  if (!segment_names && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  c.segment_names = py::reinterpret_borrow<py::object>(segment_names);
  return c;
}

CallConstants read_constants() { return read_constants(current_module()); }

// Errors Python itself would raise where the digit table cannot rank two candidates; only a cell
// with ink gets that far, a blank one is decided before the table is used.
void check_rankable(const Constants& k, std::size_t acts_count) {
  for (const Pattern& p : k.patterns) {
    if (std::min(p.expected.size(), acts_count) == 0) {
      throw py::value_error("min() arg is an empty sequence");
    }
  }
  if (k.patterns.size() < 2) {
    throw py::index_error("list index out of range");
  }
}

void check_rankable(const Constants& k, const std::vector<SlotReading>& readings) {
  for (const SlotReading& r : readings) {
    if (!r.empty) {
      check_rankable(k, kSegmentCount);
      return;
    }
  }
}

// ---- result values ----------------------------------------------------------------------------

py::object round3(double value) { return py::float_(tessaryn::numeric::round_decimals(value, 3)); }

py::list int_list(std::initializer_list<int64_t> values) {
  py::list out(values.size());
  size_t i = 0;
  for (int64_t v : values) {
    out[i++] = py::int_(v);
  }
  return out;
}

py::list box_list(const Box& b) { return int_list({b.x1, b.y1, b.x2, b.y2}); }

// A list of seven values.
template <typename F>
py::list seven(F&& value_of) {
  py::list out(kSegmentCount);
  for (std::size_t i = 0; i < static_cast<std::size_t>(kSegmentCount); ++i) {
    out[i] = value_of(i);
  }
  return out;
}

py::list new_list_of(py::handle sequence) { return steal(PySequence_List(sequence.ptr())); }

// A copy of the slot, the way dict() copies a mapping; set keys keep their place or are appended.
py::dict copy_of_slot(py::handle slot) {
  if (PyDict_CheckExact(slot.ptr())) {
    return steal(PyDict_Copy(slot.ptr()));
  }
  return py::dict(py::reinterpret_borrow<py::object>(slot));
}

const py::object& digit_of(const CallConstants& c, std::size_t pattern) {
  return c.table.digit_keys[static_cast<std::size_t>(c.k.patterns[pattern].digit_index)];
}

py::dict candidate_dict(const CallConstants& c, const Classification& cls, std::size_t index) {
  py::dict d;
  d["digit"] = digit_of(c, index);
  d["variant"] = py::int_(c.k.patterns[index].variant);
  d["pattern"] = c.table.patterns[index];
  d["score"] = py::float_(cls.scores[index]);
  return d;
}

py::dict slot_result(py::handle slot, const SlotReading& r, const CallConstants& c) {
  namespace n = names;
  py::dict out = copy_of_slot(slot);
  put(out, n::box, box_list(r.box));
  if (r.empty) {
    put(out, n::char_, py::none());
    put(out, n::status, n::empty.object());
    put(out, n::confidence, py::float_(r.confidence));
    put(out, n::empty_confidence, py::float_(r.empty_confidence));
    put(out, n::ink_ratio, py::float_(r.ink_ratio));
    return out;
  }
  if (!r.info || !r.classification) {
    throw std::logic_error("a cell with ink was left unclassified");
  }
  const FrameInfo& info = *r.info;
  const Structure& s = info.structure;
  const Classification& cls = *r.classification;
  const Box& f = info.frame_box_local;
  const Box& b = r.box;
  const bool accepted = cls.accepted;
  put(out, n::glyph_box, int_list({b.x1 + f.x1, b.y1 + f.y1, b.x1 + f.x2, b.y1 + f.y2}));
  put(out, n::char_, accepted ? digit_of(c, cls.best) : py::none());
  put(out, n::status, accepted ? n::digit.object() : n::unknown.object());
  put(out, n::confidence, py::float_(cls.confidence));
  put(out, n::empty_confidence, py::float_(r.empty_confidence));
  put(out, n::ink_ratio, py::float_(r.ink_ratio));
  put(out, n::segments, seven([&](std::size_t i) { return py::int_(cls.activations[i] >= 0.5 ? 1 : 0); }));
  put(out, n::fills, seven([&](std::size_t i) { return round3(cls.strengths[i]); }));
  if (!c.segment_names) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", n::SEGMENT_NAMES.text());
    throw py::error_already_set();
  }
  put(out, n::segment_names, new_list_of(c.segment_names));
  put(out, n::segment_strengths, seven([&](std::size_t i) { return round3(cls.strengths[i]); }));
  put(out, n::segment_activation, seven([&](std::size_t i) { return round3(cls.activations[i]); }));
  put(out, n::matched_pattern, new_list_of(c.table.patterns[cls.best]));
  put(out, n::pattern_variant, py::int_(c.k.patterns[cls.best].variant));
  put(out, n::pattern_score, round3(cls.scores[cls.best]));
  put(out, n::runner_up, digit_of(c, cls.second));
  put(out, n::runner_up_score, round3(cls.scores[cls.second]));
  put(out, n::geometry_source, n::disabled.object());
  put(out, n::frame_method, py::str(info.frame_method));
  put(out, n::horizontal_frame_source, py::str(info.horizontal_frame_source));
  put(out, n::horizontal_structure_position, py::str(info.horizontal_structure_position));
  put(out, n::vertical_core_top, py::int_(s.vertical_core_top));
  put(out, n::vertical_core_bottom, py::int_(s.vertical_core_bottom));
  put(out, n::vertical_extended_top, py::int_(s.top));
  put(out, n::vertical_extended_bottom, py::int_(s.bottom));
  put(out, n::structural_top, py::int_(s.top));
  put(out, n::structural_bottom, py::int_(s.bottom));
  put(out, n::structural_left, py::int_(s.left));
  put(out, n::structural_right, py::int_(s.right));
  put(out, n::structural_width_ratio, round3(s.width_ratio));
  put(out, n::nominal_segment_length, round3(s.nominal_segment_length));
  put(out, n::nominal_frame_width, py::int_(s.nominal_frame_width));
  put(out, n::geometry_samples, py::int_(0));
  put(out, n::geometry_locked, py::bool_(false));
  put(out, n::observed_width_ratio, round3(r.observed_width_ratio));
  put(out, n::learned_left, py::none());
  put(out, n::learned_right, py::none());
  put(out, n::learned_width_ratio, py::none());
  return out;
}

// ---- arguments ----------------------------------------------------------------------------------

// The binary image of a read: its first two dimensions are the image's rows and columns.
struct BinaryImage {
  py::array array;  // keeps the pixels alive while the GIL is released
  StridedImage view;
};

BinaryImage binary_image(py::handle binary) {
  BinaryImage b{bridge::as_ndarray(binary), {}};
  const auto ndim = b.array.ndim();
  if (ndim < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(ndim) + ")");
  }
  b.view = bridge::strided_view(b.array);
  if (b.view.three_dimensional && b.view.channels == 0) {
    throw py::value_error("zero-size array to reduction operation maximum which has no identity");
  }
  return b;
}

// The four corners of a slot box, each truncated toward zero as int() does.
Box box_corners(py::handle box) {
  std::vector<int64_t> values;
  for (py::handle v : box) {
    values.push_back(bridge::int_saturating(v));
  }
  if (values.size() < 4) {
    throw py::value_error("not enough values to unpack (expected 4, got " + std::to_string(values.size()) + ")");
  }
  if (values.size() > 4) {
    throw py::value_error("too many values to unpack (expected 4)");
  }
  return Box{values[0], values[1], values[2], values[3]};
}

Box slot_box(py::handle slot) {
  py::object box = py::reinterpret_steal<py::object>(PyObject_GetItem(slot.ptr(), names::box.get()));
  if (!box) {
    throw py::error_already_set();
  }
  return box_corners(box);
}

bool is_digit_slot(py::handle slot) {
  py::object kind;
  if (PyDict_CheckExact(slot.ptr())) {
    PyObject* value = PyDict_GetItemWithError(slot.ptr(), names::kind.get());
    if (!value && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    kind = value ? py::reinterpret_borrow<py::object>(value) : py::none();
  } else {
    kind = slot.attr(names::get.get())(py::reinterpret_borrow<py::object>(names::kind.get()));
  }
  const int equal = PyObject_RichCompareBool(kind.ptr(), names::digit.get(), Py_EQ);
  if (equal < 0) {
    throw py::error_already_set();
  }
  return equal == 1;
}

// A cell must fit OpenCV's 32-bit sizes; a larger one could not be held in memory either (a
// broadcast view can claim 2^32 rows without owning them), so it fails as an allocation would.
void check_cell_size(const StridedImage& image, const Box& box) {
  const Box clipped = clip_box(box.x1, box.y1, box.x2, box.y2, image.cols, image.rows);
  constexpr int64_t kLimit = std::numeric_limits<int>::max();
  if (clipped.x2 - clipped.x1 + 1 > kLimit || clipped.y2 - clipped.y1 + 1 > kLimit ||
      (clipped.x2 - clipped.x1 + 1) * (clipped.y2 - clipped.y1 + 1) > kLimit) {
    PyErr_SetString(PyExc_MemoryError, "the slot's cell is too large to read");
    throw py::error_already_set();
  }
}

std::vector<SlotReading> read_cells(const BinaryImage& binary, const std::vector<Box>& boxes, const CallConstants& c) {
  for (const Box& box : boxes) {
    check_cell_size(binary.view, box);
  }
  std::vector<SlotReading> readings;
  {
    readings = bridge::without_gil([&] {
      std::vector<SlotReading> out;
      out.reserve(boxes.size());
      for (const Box& box : boxes) {
        out.push_back(read_digit_cell(binary.view, box, c.k));
      }
      return out;
    });
  }
  check_rankable(c.k, readings);
  return readings;
}

py::dict read_digit_slot(py::handle binary, py::handle slot) {
  const BinaryImage image = binary_image(binary);
  const Box box = slot_box(slot);
  const CallConstants c = read_constants();
  const auto readings = read_cells(image, {box}, c);
  return slot_result(slot, readings.front(), c);
}

py::list read_slots(py::handle binary, py::handle slots) {
  std::vector<py::object> digit_slots;
  std::vector<Box> boxes;
  std::optional<BinaryImage> image;
  for (py::handle slot : slots) {
    if (is_digit_slot(slot)) {
      if (!image) {
        image = binary_image(binary);  // the image is looked at only once a digit slot comes
      }
      boxes.push_back(slot_box(slot));
      digit_slots.push_back(py::reinterpret_borrow<py::object>(slot));
    }
  }
  py::list results;
  if (digit_slots.empty()) {
    return results;
  }
  const CallConstants c = read_constants();
  const auto readings = read_cells(*image, boxes, c);
  for (std::size_t i = 0; i < readings.size(); ++i) {
    results.append(slot_result(digit_slots[i], readings[i], c));
  }
  return results;
}

// ---- the reader as another module's loop uses it -------------------------------------------------

}  // namespace

namespace tessaryn::segmark {
struct CallConstantsHandle {
  CallConstants constants;
};
}  // namespace tessaryn::segmark

namespace {

// Turns any failure into the Python error the caller reads back after a null result.
template <typename F>
auto reporting_errors(F&& work) noexcept -> decltype(work()) {
  try {
    return work();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

CallConstantsHandle* api_take_constants(PyObject* module) {
  return reporting_errors([&]() -> CallConstantsHandle* {
    return new CallConstantsHandle{read_constants(py::handle(module))};
  });
}

void api_release_constants(CallConstantsHandle* constants) { delete constants; }

SlotReading api_read_cell(const StridedImage& binary, const Box& box, const CallConstantsHandle* constants) {
  return read_digit_cell(binary, box, constants->constants.k);
}

PyObject* api_slot_result(PyObject* slot, const SlotReading& reading, const CallConstantsHandle* constants) {
  return reporting_errors([&]() -> PyObject* {
    if (!reading.empty) {
      check_rankable(constants->constants.k, kSegmentCount);
    }
    return slot_result(py::handle(slot), reading, constants->constants).release().ptr();
  });
}

ReaderApi g_reader_api{kReaderApiVersion, nullptr, &api_take_constants, &api_release_constants, &api_read_cell,
                       &api_slot_result};

// ---- the internal steps, callable from Python ----------------------------------------------------

// A cell as the core takes it: 8-bit values as given (projections count them), other dtypes as 0/1.
cv::Mat cell_of(py::handle obj) {
  py::array array = bridge::as_ndarray(obj);
  if (array.ndim() != 2) {
    throw py::value_error("expected a 2-D array, got " + std::to_string(array.ndim()) + "-D");
  }
  if (array.dtype().kind() == 'u' && array.itemsize() == 1) {
    return bridge::mat_of(array).clone();
  }
  return as01(bridge::strided_view(array));
}

// A frame for the probes, 2-D or 3-D, any numeric dtype.
cv::Mat frame01_of(py::handle obj) {
  const BinaryImage image = binary_image(obj);
  return as01(image.view);
}

// Runs with each end clamped into +-2^62: only for callers whose runs are compared with indices of
// an array, which lie far inside that bound, so the clamped value orders exactly as the true one.
std::vector<Run> runs_of(py::handle runs) {
  std::vector<Run> out;
  for (py::handle run : runs) {
    out.push_back({bridge::int_saturating(run[py::int_(0)]), bridge::int_saturating(run[py::int_(1)])});
  }
  return out;
}

// A run's two ends as int() gives them, exact at any size.
struct ExactRun {
  py::object start;
  py::object end;
};

std::vector<ExactRun> exact_runs_of(py::handle runs) {
  std::vector<ExactRun> out;
  for (py::handle run : runs) {
    out.push_back({bridge::int_exact(run[py::int_(0)]), bridge::int_exact(run[py::int_(1)])});
  }
  return out;
}

// The runs as int64 when every end is within `bound`, for the core's arithmetic.
std::optional<std::vector<Run>> small_runs(const std::vector<ExactRun>& runs, int64_t bound) {
  std::vector<Run> out;
  for (const ExactRun& r : runs) {
    const auto start = bridge::int_within(r.start, bound);
    const auto end = bridge::int_within(r.end, bound);
    if (!start || !end) {
      return std::nullopt;
    }
    out.push_back({*start, *end});
  }
  return out;
}

py::list exact_run_list(const std::vector<ExactRun>& runs, size_t first, size_t last) {
  py::list out;
  for (size_t i = first; i < last; ++i) {
    py::list pair;
    pair.append(runs[i].start);
    pair.append(runs[i].end);
    out.append(pair);
  }
  return out;
}

py::list run_list(const std::vector<Run>& runs) {
  py::list out;
  for (const Run& r : runs) {
    out.append(int_list({r.start, r.end}));
  }
  return out;
}

py::object optional_pair(const std::optional<std::pair<int64_t, int64_t>>& pair) {
  if (!pair) {
    return py::none();
  }
  return py::make_tuple(py::int_(pair->first), py::int_(pair->second));
}

py::dict structure_dict(const Structure& s) {
  py::dict d;
  d["tight_box"] = (box_list(s.tight_box));
  d["vertical_core_top"] = py::int_(s.vertical_core_top);
  d["vertical_core_bottom"] = py::int_(s.vertical_core_bottom);
  d["vertical_extended_top"] = py::int_(s.top);
  d["vertical_extended_bottom"] = py::int_(s.bottom);
  d["top"] = py::int_(s.top);
  d["bottom"] = py::int_(s.bottom);
  d["left"] = py::int_(s.left);
  d["right"] = py::int_(s.right);
  d["support_left"] = py::int_(s.support_left);
  d["support_right"] = py::int_(s.support_right);
  d["width_ratio"] = py::float_(s.width_ratio);
  d["nominal_segment_length"] = py::float_(s.nominal_segment_length);
  d["nominal_frame_width"] = py::int_(s.nominal_frame_width);
  d["horizontal_bar_extent"] = optional_pair(s.horizontal_bar_extent);
  return d;
}

py::list double_list(const SegmentValues& values) {
  return seven([&](std::size_t i) { return py::float_(values[i]); });
}

std::vector<double> doubles_of(py::handle values) {
  std::vector<double> out;
  for (py::handle v : values) {
    out.push_back(bridge::to_double(v));
  }
  return out;
}

// _clip_box in Python's integers, exact at any size: max(0, min(v, size - 1)) per corner, then
// each pair ordered.
py::object clip_box_py(py::handle box, py::handle width, py::handle height) {
  std::vector<py::object> corners;
  for (py::handle v : box) {
    corners.push_back(steal(PyNumber_Long(v.ptr())));
  }
  if (corners.size() != 4) {
    throw py::value_error(corners.size() < 4 ? "not enough values to unpack (expected 4, got " +
                                                   std::to_string(corners.size()) + ")"
                                             : std::string("too many values to unpack (expected 4)"));
  }
  const py::object one = py::int_(1);
  const py::object zero = py::int_(0);
  const py::object last_x = steal(PyNumber_Subtract(steal(PyNumber_Long(width.ptr())).ptr(), one.ptr()));
  const py::object last_y = steal(PyNumber_Subtract(steal(PyNumber_Long(height.ptr())).ptr(), one.ptr()));
  const auto less = [](const py::object& a, const py::object& b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0) {
      throw py::error_already_set();
    }
    return result == 1;
  };
  const auto clamp = [&](const py::object& v, const py::object& last) {
    const py::object low = less(last, v) ? last : v;
    return less(low, zero) ? zero : low;
  };
  const py::object x1 = clamp(corners[0], last_x);
  const py::object y1 = clamp(corners[1], last_y);
  const py::object x2 = clamp(corners[2], last_x);
  const py::object y2 = clamp(corners[3], last_y);
  py::list out;
  out.append(less(x2, x1) ? x2 : x1);
  out.append(less(y2, y1) ? y2 : y1);
  out.append(less(x2, x1) ? x1 : x2);
  out.append(less(y2, y1) ? y1 : y2);
  return out;
}

py::object as01_py(py::handle image) { return bridge::ndarray_of(frame01_of(image)); }

py::object tight_bounds_py(py::handle mask) {
  const auto box = tight_bounds(cell_of(mask));
  if (!box) {
    return py::none();
  }
  return py::make_tuple(py::int_(box->x1), py::int_(box->y1), py::int_(box->x2), py::int_(box->y2));
}

// The runs hand back the values given, so an index of any size takes the walk in Python's integers;
// within +-2^62 the core's `previous + 1` cannot overflow.
py::object contiguous_runs_py(py::handle indices) {
  std::vector<py::object> exact;
  std::vector<int64_t> values;
  bool small = true;
  for (py::handle v : indices) {
    exact.push_back(bridge::int_exact(v));
    const auto value = small ? bridge::int_within(exact.back(), bridge::kSaturation) : std::nullopt;
    small = small && value.has_value();
    if (small) {
      values.push_back(*value);
    }
  }
  if (small) {
    return run_list(contiguous_runs(values));
  }
  std::vector<ExactRun> runs;
  const py::object one = py::int_(1);
  py::object start = exact.front();
  py::object previous = start;
  for (size_t i = 1; i < exact.size(); ++i) {
    if (bridge::py_less(previous + one, exact[i])) {
      runs.push_back({start, previous});
      start = exact[i];
    }
    previous = exact[i];
  }
  runs.push_back({start, previous});
  return exact_run_list(runs, 0, runs.size());
}

// The thresholds are cell_height times a ratio in floating point and the run lengths and gaps are
// compared with them. Below 2^51 every operand is a double's exact whole number, so the core gives
// Python's answer; beyond, the same steps run on Python's integers and floats (which compare
// exactly, and raise OverflowError for a height too large for a float, as Python does).
py::object remove_marginal_runs_py(py::handle runs, py::handle cell_height) {
  const CallConstants c = read_constants();
  const std::vector<ExactRun> exact = exact_runs_of(runs);
  const py::object height = bridge::int_exact(cell_height);
  const auto small_height = bridge::int_within(height, bridge::kExactInDouble);
  const auto small = small_runs(exact, bridge::kExactInDouble);
  if (small_height && small) {
    return run_list(remove_marginal_runs(*small, *small_height, c.k));
  }
  const py::object max_height = height * py::float_(c.k.marginal_run_max_height_ratio);
  const py::object min_gap = height * py::float_(c.k.marginal_run_min_gap_ratio);
  const py::object zero = py::int_(0);
  const py::object one = py::int_(1);
  const py::object last_row = height - one;
  size_t first = 0;
  size_t last = exact.size();
  while (last - first >= 2) {
    const ExactRun& run = exact[first];
    const py::object gap = exact[first + 1].start - run.end - one;
    if (run.start.not_equal(zero) || bridge::py_less(max_height, run.end - run.start + one) ||
        bridge::py_less(gap, min_gap)) {
      break;
    }
    ++first;
  }
  while (last - first >= 2) {
    const ExactRun& run = exact[last - 1];
    const py::object gap = run.start - exact[last - 2].end - one;
    if (run.end.not_equal(last_row) || bridge::py_less(max_height, run.end - run.start + one) ||
        bridge::py_less(gap, min_gap)) {
      break;
    }
    --last;
  }
  return exact_run_list(exact, first, last);
}

bool runs_overlap_py(py::handle first, py::handle second) {
  const ExactRun a = exact_runs_of(py::make_tuple(first)).front();
  const ExactRun b = exact_runs_of(py::make_tuple(second)).front();
  return !bridge::py_less(b.end, a.start) && !bridge::py_less(a.end, b.start);
}

py::object extend_from_core_py(py::handle projection, py::handle core_runs, py::handle max_gap) {
  const CallConstants c = read_constants();
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(projection);
  if (!values) {
    throw py::error_already_set();
  }
  std::vector<double> p(values.data(), values.data() + values.size());
  // Clamping is exact here: the weak runs are indices of `p`, fewer than 2^61 (each takes 8 bytes
  // of memory), so their gaps lie within +-2^61. A core run end and max_gap are only compared with
  // those, and a value beyond +-2^62 compares with them as its clamped value does.
  return optional_pair(extend_from_core(p, runs_of(core_runs), bridge::int_saturating(max_gap), c.k));
}

// Rows top..bottom as range() and cell[y] visit them: exact integers, negative rows counted from the
// end, IndexError for a row outside the cell.
py::object horizontal_bar_extent_py(py::handle cell, py::handle top, py::handle bottom, py::handle stroke) {
  const cv::Mat m = cell_of(cell);
  const py::object first = bridge::index_exact(top);
  const py::object last = bridge::index_exact(bottom);
  if (bridge::py_less(last, first)) {
    return py::none();
  }
  const py::object rows = py::int_(static_cast<int64_t>(m.rows));
  const bool first_outside = bridge::py_less(first, -rows) || !bridge::py_less(first, rows);
  if (first_outside || !bridge::py_less(last, rows)) {
    // The first row out of the cell is indexed as the loop would index it, so that the caller
    // gets the array's own exception for that index (its type depends on the index's size).
    const py::object row = py::reinterpret_borrow<py::object>(cell)[first_outside ? first : rows];
    throw py::index_error("index out of bounds for a cell of " + std::to_string(m.rows) + " rows");
  }
  const int64_t t = first.cast<int64_t>();
  const int64_t b = last.cast<int64_t>();
  // A run is at most the cell's width long, so any stroke from the width up rejects every run as
  // the width itself does, and any stroke below 1 counts as 1: clamping into [0, width] is exact
  // and keeps 2 * stroke far from overflowing.
  const int64_t width = std::max<int64_t>(m.cols, 1);
  const int64_t s = std::clamp<int64_t>(bridge::int_saturating(stroke), 0, width);
  // Candidates are ranked by (width, start, end) whatever row they come from, so the rows counted
  // from the end and those counted from the start are searched apart and the best of both kept.
  std::optional<std::tuple<int64_t, int64_t, int64_t>> best;
  const auto consider = [&](int64_t from, int64_t to) {
    if (from > to) {
      return;
    }
    if (const auto run = horizontal_bar_extent(m, from, to, s)) {
      const auto candidate = std::make_tuple(run->second - run->first + 1, run->first, run->second);
      if (!best || candidate > *best) {
        best = candidate;
      }
    }
  };
  consider(t + m.rows, std::min<int64_t>(b, -1) + m.rows);
  consider(std::max<int64_t>(t, 0), b);
  if (!best) {
    return py::none();
  }
  return py::make_tuple(py::int_(std::get<1>(*best)), py::int_(std::get<2>(*best)));
}

py::object structural_frame_py(py::handle cell) {
  const CallConstants c = read_constants();
  const auto s = structural_frame(cell_of(cell), c.k);
  if (!s) {
    return py::none();
  }
  return structure_dict(*s);
}

py::list segment_strengths_py(py::handle frame) {
  const CallConstants c = read_constants();
  return double_list(segment_strengths(frame01_of(frame), c.k));
}

py::list activations_py(py::handle strengths) {
  py::list out;
  for (double v : doubles_of(strengths)) {
    out.append(py::float_(activation(v)));
  }
  return out;
}

py::float_ score_pattern_py(py::handle acts, py::handle pattern) {
  std::vector<uint8_t> expected;
  for (py::handle bit : pattern) {
    expected.push_back(bridge::truthy(bit) ? 1 : 0);
  }
  const auto score = score_pattern(doubles_of(acts), expected);
  if (!score) {
    throw py::value_error("min() arg is an empty sequence");
  }
  return py::float_(*score);
}

py::tuple classify_frame_py(py::handle frame) {
  const CallConstants c = read_constants();
  check_rankable(c.k, kSegmentCount);
  const auto cls = classify_frame(frame01_of(frame), c.k);
  py::object value = cls->accepted
                         ? c.table.digit_keys[static_cast<std::size_t>(c.k.patterns[cls->best].digit_index)]
                         : py::none();
  return py::make_tuple(value, py::float_(cls->confidence), double_list(cls->strengths),
                        double_list(cls->activations), candidate_dict(c, *cls, cls->best),
                        candidate_dict(c, *cls, cls->second));
}

py::int_ significant_component_count_py(py::handle mask) {
  const CallConstants c = read_constants();
  return py::int_(significant_component_count(cell_of(mask), c.k));
}

// The bounds are slice indices, so they must be integers (operator.index), of any size.
py::object structure_entry(py::handle structure, const char* key) {
  return bridge::index_exact(py::reinterpret_borrow<py::object>(structure)[py::str(key)]);
}

// [start:stop] of a sequence of `length`, as Python adjusts a slice of integers of any size.
std::pair<int64_t, int64_t> exact_slice_bounds(const py::object& start, const py::object& stop, int64_t length) {
  const py::object slice = bridge::python_slice(start, stop);
  Py_ssize_t from = 0;
  Py_ssize_t to = 0;
  Py_ssize_t step = 0;
  if (PySlice_Unpack(slice.ptr(), &from, &to, &step) < 0) {
    throw py::error_already_set();
  }
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &from, &to, step);
  return {from, std::max(from, to)};
}

bool single_vertical_mass_py(py::handle cell, py::handle structure) {
  const CallConstants c = read_constants();
  const cv::Mat m = cell_of(cell);
  const py::object top = structure_entry(structure, "top");
  const py::object bottom = structure_entry(structure, "bottom");
  const py::object left = structure_entry(structure, "left");
  const py::object right = structure_entry(structure, "right");
  const py::object one = py::int_(1);
  // cell[top:bottom + 1, left:right + 1], negative bounds counting from the end as slices do.
  const auto rows = exact_slice_bounds(top, bottom + one, m.rows);
  const auto cols = exact_slice_bounds(left, right + one, m.cols);
  const cv::Mat glyph = m(cv::Range(static_cast<int>(rows.first), static_cast<int>(rows.second)),
                          cv::Range(static_cast<int>(cols.first), static_cast<int>(cols.second)));
  const auto t = bridge::int_within(top, bridge::kExactInDouble);
  const auto b = bridge::int_within(bottom, bridge::kExactInDouble);
  const auto l = bridge::int_within(left, bridge::kExactInDouble);
  const auto r = bridge::int_within(right, bridge::kExactInDouble);
  if (t && b && l && r) {
    return single_vertical_mass(glyph, *t, *b, *l, *r, c.k);
  }
  // Bounds beyond the cell only matter to the aspect test, which then runs on Python's integers:
  // (right - left + 1) <= max(bottom - top + 1, 1) * aspect.
  if (!single_vertical_stroke(glyph, c.k)) {
    return false;
  }
  py::object height = bottom - top + one;
  if (bridge::py_less(height, one)) {
    height = one;
  }
  return (right - left + one) <= height * py::float_(c.k.vertical_stroke_max_aspect);
}

py::object frame_from_cell_py(py::handle cell) {
  const CallConstants c = read_constants();
  const auto info = frame_from_cell(cell_of(cell), c.k);
  if (!info) {
    return py::none();
  }
  const Box& f = info->frame_box_local;
  const Structure& s = info->structure;
  // The frame handed back is a view of the caller's cell, as slicing gives it.
  py::object frame = py::reinterpret_borrow<py::object>(cell)[py::make_tuple(
      py::slice(py::int_(f.y1), py::int_(f.y2 + 1), py::none()),
      py::slice(py::int_(f.x1), py::int_(f.x2 + 1), py::none()))];
  py::dict d;
  d["frame"] = frame;
  d["frame_box_local"] = (box_list(f));
  d["observed_box_local"] = (box_list(info->observed_box_local));
  d["source"] = "disabled";
  d["frame_method"] = info->frame_method;
  d["horizontal_frame_source"] = info->horizontal_frame_source;
  d["horizontal_structure_position"] = info->horizontal_structure_position;
  d["vertical_core_top"] = py::int_(s.vertical_core_top);
  d["vertical_core_bottom"] = py::int_(s.vertical_core_bottom);
  d["vertical_extended_top"] = py::int_(s.top);
  d["vertical_extended_bottom"] = py::int_(s.bottom);
  d["structural_top"] = py::int_(s.top);
  d["structural_bottom"] = py::int_(s.bottom);
  d["structural_left"] = py::int_(s.left);
  d["structural_right"] = py::int_(s.right);
  d["structural_width_ratio"] = py::float_(s.width_ratio);
  d["nominal_segment_length"] = py::float_(s.nominal_segment_length);
  d["nominal_frame_width"] = py::int_(s.nominal_frame_width);
  return d;
}

py::dict digit_patterns_constant() {
  py::dict table;
  for (const Pattern& p : standard_patterns()) {
    py::object key = py::int_(p.digit_index);
    if (!table.contains(key)) {
      table[key] = py::list();
    }
    py::tuple bits(p.expected.size());
    for (std::size_t i = 0; i < p.expected.size(); ++i) {
      bits[i] = py::int_(p.expected[i]);
    }
    table[key].cast<py::list>().append(bits);
  }
  return table;
}

}  // namespace

PYBIND11_MODULE(segmark, m) {
  // Each docstring starts with the Python signature, written out: pybind11's own would show every
  // argument as a plain object.
  py::options options;
  options.disable_function_signatures();
  g_module = m.inc_ref().ptr();  // held for the life of the process, as the import system holds it
  m.doc() = "Seven-segment digit reader: classifies the digit in each slot box of a binary image.";

  const Constants defaults;
  m.attr("SEGMENT_NAMES") = py::make_tuple("A", "B", "C", "D", "E", "F", "G");
  m.attr("DIGIT_PATTERNS") = digit_patterns_constant();
  m.attr("STRUCTURAL_PROJECTION_RATIO") = defaults.structural_projection_ratio;
  // Counts are whole numbers in Python; the core keeps every threshold as a double.
  m.attr("STRUCTURAL_MIN_PIXELS") = py::int_(static_cast<int64_t>(defaults.structural_min_pixels));
  m.attr("MARGINAL_RUN_MAX_HEIGHT_RATIO") = defaults.marginal_run_max_height_ratio;
  m.attr("MARGINAL_RUN_MIN_GAP_RATIO") = defaults.marginal_run_min_gap_ratio;
  m.attr("WIDE_GLYPH_MIN_WIDTH_RATIO") = defaults.wide_glyph_min_width_ratio;
  m.attr("HORIZONTAL_PROBE_CENTER_SPAN") = defaults.horizontal_probe_center_span;
  m.attr("VERTICAL_STROKE_MAX_WIDTH_RATIO") = defaults.vertical_stroke_max_width_ratio;
  m.attr("VERTICAL_STROKE_MAX_ASPECT") = defaults.vertical_stroke_max_aspect;
  m.attr("VERTICAL_STROKE_MIN_ROWS") = py::int_(static_cast<int64_t>(defaults.vertical_stroke_min_rows));
  m.attr("COMPONENT_MIN_AREA") = py::int_(static_cast<int64_t>(defaults.component_min_area));
  m.attr("COMPONENT_AREA_FRACTION") = defaults.component_area_fraction;

  m.def("_clip_box", &clip_box_py, py::arg("box"), py::arg("width"), py::arg("height"),
        "_clip_box(box, width, height) -> list[int]");
  m.def("_as01", &as01_py, py::arg("image"), "_as01(image) -> numpy.ndarray");
  m.def("_tight_bounds", &tight_bounds_py, py::arg("mask"), "_tight_bounds(mask) -> tuple[int, int, int, int] | None");
  m.def("_contiguous_runs", &contiguous_runs_py, py::arg("indices"), "_contiguous_runs(indices) -> list[list[int]]");
  m.def("_remove_marginal_runs", &remove_marginal_runs_py, py::arg("runs"), py::arg("cell_height"),
        "_remove_marginal_runs(runs, cell_height) -> list[list[int]]");
  m.def("_runs_overlap", &runs_overlap_py, py::arg("first"), py::arg("second"), "_runs_overlap(first, second) -> bool");
  m.def("_extend_from_core", &extend_from_core_py, py::arg("projection"), py::arg("core_runs"), py::arg("max_gap"),
        "_extend_from_core(projection, core_runs, max_gap) -> tuple[int, int] | None");
  m.def("_horizontal_bar_extent", &horizontal_bar_extent_py, py::arg("cell"), py::arg("top"), py::arg("bottom"),
        py::arg("stroke_thickness"),
        "_horizontal_bar_extent(cell, top, bottom, stroke_thickness) -> tuple[int, int] | None");
  m.def("_structural_frame", &structural_frame_py, py::arg("cell"), "_structural_frame(cell) -> dict | None");
  m.def("_segment_strengths", &segment_strengths_py, py::arg("frame"), "_segment_strengths(frame) -> list[float]");
  m.def("_activations", &activations_py, py::arg("strengths"), "_activations(strengths) -> list[float]");
  m.def("_score_pattern", &score_pattern_py, py::arg("acts"), py::arg("pattern"),
        "_score_pattern(acts, pattern) -> float");
  m.def("_classify_frame", &classify_frame_py, py::arg("frame"), "_classify_frame(frame) -> tuple");
  m.def("_significant_component_count", &significant_component_count_py, py::arg("mask"),
        "_significant_component_count(mask) -> int");
  m.def("_single_vertical_mass", &single_vertical_mass_py, py::arg("cell"), py::arg("structure"),
        "_single_vertical_mass(cell, structure) -> bool");
  m.def("_frame_from_cell", &frame_from_cell_py, py::arg("cell"), "_frame_from_cell(cell) -> dict | None");
  m.def("read_digit_slot", &read_digit_slot, py::arg("binary"), py::arg("slot"),
        "read_digit_slot(binary, slot) -> dict\n\n"
        "Reads the seven-segment digit in one slot box of a binary image; returns a new result dict.");
  m.def("read_slots", &read_slots, py::arg("binary"), py::arg("slots"),
        "read_slots(binary, slots) -> list[dict]\n\n"
        "Reads every slot of kind 'digit', in order; returns one result dict per digit slot.");
  // The function object itself, so that a reader in another module can tell a replaced one.
  g_reader_api.read_slots = py::object(m.attr("read_slots")).release().ptr();
  m.attr("_reader_api") = py::capsule(&g_reader_api, kReaderApiCapsule);
}
