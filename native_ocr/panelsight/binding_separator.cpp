// The clock separator detection in Python terms. The numeric stages run in the C++ core; the
// detector itself chains them through the module's attributes (corridor, window evaluation,
// hypotheses, window blurs and the blur self-check), so that a stage replaced from Python takes
// effect on the next call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_support.hpp"
#include "panelsight/core/prepare.hpp"
#include "panelsight/core/layouts.hpp"
#include "panelsight/core/separator/corridor.hpp"
#include "panelsight/core/separator/detect.hpp"
#include "panelsight/core/separator/energy.hpp"
#include "panelsight/core/separator/groups.hpp"
#include "panelsight/core/separator/hypothesis.hpp"
#include "panelsight/core/separator/sheet_blur.hpp"
#include "panelsight/core/separator/topology.hpp"

namespace tessaryn::panelsight::binding {

namespace bridge = tessaryn::py_bridge;
namespace sep = tessaryn::panelsight::separator;
using tessaryn::py_bridge::steal;

namespace {

constexpr const char* kBlurMismatch = "Reflected separator blur does not match the per-window Gaussian blur";
constexpr const char* kBlurCount = "Separator blur count does not match the search windows";

py::float_ rounded(double value, int digits) { return py::float_(numeric::round_decimals(value, digits)); }

double float_of(py::handle value) { return bridge::to_double(steal(PyNumber_Float(value.ptr()))); }

int64_t int_of(py::handle value) { return bridge::int_saturating(value); }

py::object item(py::handle mapping, const char* key) { return mapping[py::str(key)]; }

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

using bridge::without_gil;

[[noreturn]] void raise_image_error(const std::string& message, const char* function) {
  bridge::raise_cv_error(cv::Exception(cv::Error::StsUnsupportedFormat, message, function, __FILE__, __LINE__));
}

// A uint8 image as a Mat over its pixels; the stages work on 8-bit colour like OpenCV's own
// conversions of the frame.
cv::Mat uint8_mat(py::handle image, const char* function) {
  const py::array array = bridge::as_ndarray(image);
  if (bridge::cv_depth_of(array.dtype()) != CV_8U) {
    raise_image_error("the image must be of dtype uint8, got " + std::string(py::str(array.dtype())), function);
  }
  if (array.ndim() < 2 || array.ndim() > 3) {
    raise_image_error("the image must have 2 or 3 dimensions", function);
  }
  const cv::Mat mat = bridge::mat_of(array);
  // An array made here from another kind of object dies on return; its pixels must not.
  return array.ptr() == image.ptr() ? mat : mat.clone();
}

cv::Mat optional_blur(py::handle blurred_gray) {
  return blurred_gray.is_none() ? cv::Mat() : uint8_mat(blurred_gray, "_clock_separator_mask");
}

// A 2-D float32 energy array as the core takes it: converted as NumPy converts, in aligned memory.
cv::Mat float32_mat(py::handle array) {
  std::vector<py::ssize_t> shape;
  std::vector<float> values = bridge::values_of<float>(array, &shape);
  if (shape.size() != 2) {
    throw py::value_error("expected a 2-D energy array, got " + std::to_string(shape.size()) + "-D");
  }
  if (shape[0] > std::numeric_limits<int>::max() || shape[1] > std::numeric_limits<int>::max()) {
    throw py::value_error("the energy array is too large");
  }
  cv::Mat mat(static_cast<int>(shape[0]), static_cast<int>(shape[1]), CV_32F);
  if (!values.empty()) {
    std::memcpy(mat.data, values.data(), values.size() * sizeof(float));
  }
  return mat;
}

// -- records as dictionaries -----------------------------------------------------------------------

py::dict group_dict(const sep::Group& g) {
  py::dict d;
  d["y_min"] = py::int_(g.y_min);
  d["y_max"] = py::int_(g.y_max);
  d["center_x"] = py::float_(g.center_x);
  d["center_y"] = py::float_(g.center_y);
  d["width"] = py::float_(g.width);
  d["height"] = py::int_(g.height);
  d["energy"] = py::float_(g.energy);
  d["gray_energy"] = py::float_(g.gray_energy);
  d["binary_energy"] = py::float_(g.binary_energy);
  d["energy_fraction"] = py::float_(g.energy_fraction);
  d["x_normalized"] = py::float_(g.x_normalized);
  d["y_normalized"] = py::float_(g.y_normalized);
  d["reliability"] = py::float_(g.reliability);
  return d;
}

// The fields the topology reads, by item access as the records may come from Python.
sep::Group group_of(py::handle record) {
  sep::Group g;
  g.center_x = float_of(item(record, "center_x"));
  g.center_y = float_of(item(record, "center_y"));
  g.width = float_of(item(record, "width"));
  g.height = static_cast<int64_t>(float_of(item(record, "height")));
  g.energy = float_of(item(record, "energy"));
  g.y_normalized = float_of(item(record, "y_normalized"));
  g.reliability = float_of(item(record, "reliability"));
  return g;
}

py::tuple groups_result(const sep::Groups& groups) {
  py::list records;
  for (const sep::Group& g : groups.groups) {
    records.append(group_dict(g));
  }
  py::list profile;
  for (double share : groups.energy_profile) {
    profile.append(py::float_(share));
  }
  return py::make_tuple(records, profile);
}

// The topology result over the caller's own records: candidates hold the same record objects.
py::dict topology_dict(const sep::Topology& t, const py::list& records) {
  py::dict d;
  if (t.colon) {
    py::dict c;
    c["score"] = py::float_(t.colon->score);
    c["upper"] = records[t.colon->upper];
    c["lower"] = records[t.colon->lower];
    c["alignment"] = py::float_(t.colon->alignment);
    c["similarity"] = py::float_(t.colon->similarity);
    c["separation"] = py::float_(t.colon->separation);
    c["topology"] = py::float_(t.colon->topology);
    c["centrality"] = py::float_(t.colon->centrality);
    d["colon"] = c;
  } else {
    d["colon"] = py::none();
  }
  if (t.decimal) {
    py::dict c;
    c["score"] = py::float_(t.decimal->score);
    c["lower"] = records[t.decimal->lower];
    d["decimal"] = c;
  } else {
    d["decimal"] = py::none();
  }
  d["colon_score"] = py::float_(t.colon_score());
  d["decimal_score"] = py::float_(t.decimal_score());
  return d;
}

py::dict corridor_dict(const sep::Corridor& c) {
  py::dict d;
  d["physical_left"] = py::int_(c.physical_left);
  d["physical_right"] = py::int_(c.physical_right);
  d["search_left"] = py::int_(c.search_left);
  d["search_right"] = py::int_(c.search_right);
  d["window_width"] = py::int_(c.window_width);
  d["minimum_overlap"] = py::float_(c.minimum_overlap);
  d["max_shift"] = py::int_(c.max_shift);
  return d;
}

void add_spatial(py::dict& d, const sep::SpatialPrior& p) {
  d["spatial_prior"] = py::float_(p.spatial_prior);
  d["overlap_ratio"] = py::float_(p.overlap_ratio);
  d["window_prior"] = py::float_(p.window_prior);
  d["group_prior"] = py::float_(p.group_prior);
  d["center_compatible"] = py::bool_(p.center_compatible);
}

// A dot of a colon as colon_position reads it.
sep::Group dot(py::handle record) {
  sep::Group g;
  g.center_x = float_of(item(record, "center_x"));
  g.energy = float_of(item(record, "energy"));
  return g;
}

py::dict evaluation_dict(const sep::WindowEvaluation& e) {
  const py::tuple groups = groups_result(e.groups);
  py::dict d;
  d["left"] = py::int_(e.span.left);
  d["right"] = py::int_(e.span.right);
  d["groups"] = groups[0];
  d["energy_profile"] = groups[1];
  const py::dict topology = topology_dict(e.topology, groups[0].cast<py::list>());
  for (auto entry : topology) {
    d[entry.first] = entry.second;
  }
  return d;
}

py::dict hypothesis_dict(py::handle hypothesis_char, py::handle evaluated, const sep::Hypothesis& h) {
  py::dict d;
  d["char"] = hypothesis_char;
  d["window"] = evaluated;
  d["x"] = py::float_(h.x);
  d["topological_score"] = py::float_(h.topological_score);
  d["final_score"] = py::float_(h.final_score);
  add_spatial(d, h.prior);
  return d;
}

// -- the detector's pieces -------------------------------------------------------------------------

// The start columns of a corridor that a replaced stage may have given with integers of any size:
// search_left..last_start, plus physical_left when it is not among them, in Python's integers (a
// range too long to list fails as listing it in Python fails).
std::vector<py::object> starts_of(py::handle geometry) {
  const py::object physical_left = bridge::int_exact(item(geometry, "physical_left"));
  const py::object search_left = bridge::int_exact(item(geometry, "search_left"));
  const py::object search_right = bridge::int_exact(item(geometry, "search_right"));
  const py::object window_width = bridge::int_exact(item(geometry, "window_width"));
  const py::object one = py::int_(1);
  const py::object candidate = search_right - window_width + one;
  const py::object last_start = bridge::py_less(search_left, candidate) ? candidate : search_left;
  const py::object range = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyRange_Type));
  py::list starts = steal(PySequence_List(range(search_left, last_start + one).ptr()));
  const int contained = PySequence_Contains(starts.ptr(), physical_left.ptr());
  if (contained < 0) {
    throw py::error_already_set();
  }
  if (contained == 0) {
    starts.append(physical_left);
    if (PyList_Sort(starts.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
  std::vector<py::object> out;
  for (py::handle start : starts) {
    out.push_back(py::reinterpret_borrow<py::object>(start));
  }
  return out;
}

py::list arrays_of(std::vector<cv::Mat> mats) {
  py::list out;
  for (cv::Mat& m : mats) {
    out.append(bridge::ndarray_of(std::move(m)));
  }
  return out;
}

py::object module_function(const char* name) {
  const std::optional<py::object> f = module_attribute(name);
  if (!f) {
    throw py::attribute_error("module 'native_ocr.panelsight' has no attribute '" + std::string(name) + "'");
  }
  return *f;
}

py::list box_of(const py::object& left, const py::object& right, const py::object& height) {
  py::list b;
  b.append(left);
  b.append(py::int_(0));
  b.append(right);
  b.append(height - py::int_(1));
  return b;
}

py::object public_group(py::handle g, const py::object& best_left) {
  if (g.is_none()) {
    return py::none();
  }
  py::dict d;
  d["y_min"] = bridge::int_exact(item(g, "y_min"));
  d["y_max"] = bridge::int_exact(item(g, "y_max"));
  d["center_x"] = rounded(float_of(best_left + item(g, "center_x")), 2);
  d["center_y"] = rounded(float_of(item(g, "center_y")), 2);
  d["x_normalized"] = rounded(float_of(item(g, "x_normalized")), 4);
  d["y_normalized"] = rounded(float_of(item(g, "y_normalized")), 4);
  d["width"] = rounded(float_of(item(g, "width")), 2);
  d["height"] = bridge::int_exact(item(g, "height"));
  for (const char* key : {"energy", "gray_energy", "binary_energy"}) {
    d[key] = rounded(float_of(item(g, key)), 2);
  }
  d["energy_fraction"] = rounded(float_of(item(g, "energy_fraction")), 4);
  d["reliability"] = rounded(float_of(item(g, "reliability")), 4);
  return d;
}

py::object public_hypothesis(py::handle h, const py::object& height) {
  if (h.is_none()) {
    return py::none();
  }
  const py::object window = item(h, "window");
  py::dict d;
  d["hypothesis_char"] = item(h, "char");
  d["candidate_window"] = box_of(bridge::int_exact(item(window, "left")), bridge::int_exact(item(window, "right")), height);
  d["hypothesis_x"] = rounded(float_of(item(h, "x")), 2);
  for (const char* key : {"overlap_ratio", "window_prior", "group_prior", "spatial_prior", "topological_score",
                          "final_score"}) {
    d[key] = rounded(float_of(item(h, key)), 4);
  }
  d["center_compatible"] = item(h, "center_compatible");
  return d;
}

}  // namespace

// -- module functions --------------------------------------------------------------------------------

py::object clock_separator_mask(py::object crop, py::object blurred_gray) {
  const cv::Mat window = uint8_mat(crop, "_clock_separator_mask");
  const cv::Mat blur = optional_blur(blurred_gray);
  return bridge::ndarray_of(without_gil([&] { return sep::separator_mask(window, blur); }));
}

py::tuple separator_energy_map(py::object corridor, py::object blurred_gray) {
  const cv::Mat window = uint8_mat(corridor, "_separator_energy_map");
  const cv::Mat blur = optional_blur(blurred_gray);
  sep::EnergyMap map = without_gil([&] { return sep::separator_energy_map(window, blur); });
  return py::make_tuple(bridge::ndarray_of(std::move(map.binary)), bridge::ndarray_of(std::move(map.gray_energy)),
                        bridge::ndarray_of(std::move(map.combined)));
}

py::tuple separator_groups(py::object binary, py::object gray_energy, py::object combined) {
  const cv::Mat bm = float32_mat(binary);
  const cv::Mat gm = float32_mat(gray_energy);
  const cv::Mat cm = float32_mat(combined);
  if (bm.size() != cm.size() || gm.size() != cm.size()) {
    throw py::value_error("the three energy arrays must have the same shape");
  }
  return groups_result(without_gil([&] { return sep::separator_groups(bm, gm, cm); }));
}

py::list separator_runs(py::object bits) {
  std::vector<py::ssize_t> shape;
  const std::vector<int8_t> values = bridge::values_of<int8_t>(bridge::as_ndarray(bits), &shape);
  if (shape.size() != 1) {
    throw py::value_error("expected a one-dimensional array of bits");
  }
  py::list out;
  for (const sep::Run& run : sep::runs(values)) {
    py::list r;
    r.append(py::int_(run.start));
    r.append(py::int_(run.end));
    out.append(r);
  }
  return out;
}

py::float_ weighted_quantile(py::object values, py::object weights, py::object quantile) {
  const std::vector<double> vs = bridge::values_of<double>(values);
  const py::array w_in = bridge::as_ndarray(weights);
  const double q = float_of(quantile);
  // float32 weights accumulate in float32, as their cumulative sum does in NumPy.
  if (w_in.dtype().is(py::dtype::of<float>())) {
    return py::float_(sep::weighted_quantile(vs, std::span<const float>(bridge::values_of<float>(w_in)), q));
  }
  return py::float_(sep::weighted_quantile(vs, std::span<const double>(bridge::values_of<double>(w_in)), q));
}

py::dict separator_topology(py::object groups, py::object corridor_width, py::object corridor_height) {
  const py::list records = steal(PySequence_List(groups.ptr())).cast<py::list>();
  std::vector<sep::Group> parsed;
  for (py::handle record : records) {
    parsed.push_back(group_of(record));
  }
  const sep::Topology t = sep::separator_topology(parsed, float_of(corridor_width), float_of(corridor_height));
  return topology_dict(t, records);
}

py::dict separator_search_corridor(py::object crop_width, py::object crop_height) {
  if (!PyNumber_Check(crop_width.ptr()) || !PyNumber_Check(crop_height.ptr())) {
    throw py::type_error("crop_width and crop_height must be numbers");
  }
  const py::object width = bridge::int_exact(crop_width);
  const py::object height = bridge::int_exact(crop_height);
  const auto w = bridge::int_within(width, bridge::kSaturation);
  const auto h = bridge::int_within(height, bridge::kSaturation);
  if (w && h) {
    return corridor_dict(sep::search_corridor(*w, *h));
  }
  // Sizes beyond int64's comfortable range: the separator slot of the clock layout (as
  // layout_for_role gives it) and the corridor's arithmetic on it in Python's integers.
  const auto as_double = [](const py::object& whole) {
    if (bridge::py_less(whole, py::int_(1))) {
      return 1.0;  // the layout counts every size below 1 as 1
    }
    const double value = PyLong_AsDouble(whole.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    return value;
  };
  const Layout layout = tessaryn::panelsight::clock_slots(as_double(width), as_double(height), std::nullopt);
  const auto slot = std::find_if(layout.begin(), layout.end(), [](const Slot& s) { return s.separator; });
  const py::object left = bridge::int_from_whole_double(slot->box[0]);
  const py::object right = bridge::int_from_whole_double(slot->box[2]);
  const py::object zero = py::int_(0);
  const py::object one = py::int_(1);
  const auto larger = [](const py::object& a, const py::object& b) { return bridge::py_less(a, b) ? b : a; };
  const auto smaller = [](const py::object& a, const py::object& b) { return bridge::py_less(b, a) ? b : a; };
  const py::object window_width = larger(py::int_(3), right - left + one);
  const py::object max_shift = larger(one, bridge::int_exact(window_width * py::float_(1.0 - sep::kMinimumOverlap)));
  py::dict d;
  d["physical_left"] = left;
  d["physical_right"] = right;
  d["search_left"] = larger(zero, left - max_shift);
  d["search_right"] = smaller(width - one, right + max_shift);
  d["window_width"] = window_width;
  d["minimum_overlap"] = py::float_(sep::kMinimumOverlap);
  d["max_shift"] = max_shift;
  return d;
}

py::dict evaluate_separator_window(py::object crop, py::object left, py::object window_width,
                                   py::object blurred_gray) {
  const cv::Mat image = uint8_mat(crop, "_evaluate_separator_window");
  // Clamping is exact: the crop is narrower than 2^31, so with the window width in +-2^62 the start
  // min(left, w - window_width) and the end left + window_width - 1 are what they would be exactly:
  // a width beyond 2^62 puts the window at 0..w-1 as 2^62 does, a start beyond +-2^62 is pushed to
  // the same side, and a width below 1 leaves the band empty however negative it is.
  const int64_t start = int_of(left);
  const int64_t width = int_of(window_width);
  const cv::Mat blur = optional_blur(blurred_gray);
  return evaluation_dict(without_gil([&] { return sep::evaluate_window(image, start, width, blur); }));
}

py::dict separator_spatial_prior(py::object candidate_left, py::object candidate_right, py::object hypothesis_x,
                                 py::object physical_left, py::object physical_right) {
  const sep::SpatialPrior p =
      sep::spatial_prior(float_of(candidate_left), float_of(candidate_right), float_of(hypothesis_x),
                         float_of(physical_left), float_of(physical_right));
  py::dict d;
  add_spatial(d, p);
  return d;
}

py::object separator_hypothesis(py::object evaluated, py::object hypothesis_char, py::object physical_left,
                                py::object physical_right) {
  const bool colon = hypothesis_char.equal(py::str(":"));
  const py::object candidate = get(evaluated, colon ? "colon" : "decimal");
  if (candidate.is_none()) {
    return py::none();
  }
  sep::Hypothesis h;
  h.kind = colon ? sep::SeparatorKind::Colon : sep::SeparatorKind::Decimal;
  double local_x = 0.0;
  if (colon) {
    local_x = sep::colon_position(dot(item(candidate, "upper")), dot(item(candidate, "lower")));
  } else {
    local_x = float_of(item(item(candidate, "lower"), "center_x"));
  }
  h.topological_score = float_of(item(evaluated, colon ? "colon_score" : "decimal_score"));
  // The window's left column as given, which a replaced evaluation may give as any number.
  const py::object window_left = item(evaluated, "left");
  h.x = float_of(window_left) + local_x;
  h.prior = sep::spatial_prior(float_of(window_left), float_of(item(evaluated, "right")), h.x,
                               float_of(physical_left), float_of(physical_right));
  h.final_score = h.topological_score * h.prior.spatial_prior;
  return hypothesis_dict(hypothesis_char, evaluated, h);
}

py::list separator_window_views(py::object source) {
  const cv::Mat image = uint8_mat(source, "_separator_window_views");
  return arrays_of(without_gil([&] { return sep::window_views(image); }));
}

py::list reflected_sheet_blurs(py::object grays, py::object sigma) {
  const double s = float_of(sigma);
  std::vector<cv::Mat> mats;
  std::vector<py::object> keep;  // the arrays behind the Mats, which an iterator may not hold
  for (py::handle gray : py::iter(grays)) {
    keep.push_back(py::reinterpret_borrow<py::object>(gray));
    mats.push_back(uint8_mat(keep.back(), "_reflected_sheet_blurs"));
  }
  return arrays_of(without_gil([&] { return sep::reflected_sheet_blurs(mats, s); }));
}

py::int_ reflect_blur_radius(py::object sigma) {
  // int(round(sigma * 6 + 1)) | 1, then // 2, in Python's own arithmetic: round() refuses NaN and
  // the infinities, floor division rounds negative widths down, and any size is exact.
  const py::object scaled = steal(PyNumber_Add(steal(PyNumber_Multiply(sigma.ptr(), py::int_(6).ptr())).ptr(),
                                               py::int_(1).ptr()));
  const py::object rounded_width = py::module_::import("builtins").attr("round")(scaled);
  const py::object width = steal(PyNumber_Or(steal(PyNumber_Long(rounded_width.ptr())).ptr(), py::int_(1).ptr()));
  return steal(PyNumber_FloorDivide(width.ptr(), py::int_(2).ptr()));
}

void SheetBlurSelfCheck::call(py::object self) {
  if (bridge::truthy(attribute_or_none(self, "ready"))) {
    return;
  }
  cv::Mat probe = sep::sheet_blur_probe();
  cv::Mat reference = sep::detail_blur(probe);
  const py::array probe_array = bridge::ndarray_of(probe.clone());
  py::list pair;
  pair.append(probe_array);
  pair.append(probe_array.attr("copy")());
  const py::object produced = module_function("_reflected_sheet_blurs")(pair);
  const py::object expected = bridge::ndarray_of(std::move(reference));
  const py::object array_equal = py::module_::import("numpy").attr("array_equal");
  for (py::handle image : produced) {
    if (!bridge::truthy(array_equal(image, expected))) {
      throw std::runtime_error(kBlurMismatch);
    }
  }
  py::setattr(self, "ready", py::bool_(true));
}

py::list separator_window_blurs(py::object source) {
  module_function("_ensure_reflected_sheet_blur")();
  const cv::Mat image = uint8_mat(source, "_separator_window_blurs");
  std::vector<cv::Mat> grays = without_gil([&] {
    std::vector<cv::Mat> out;
    for (const cv::Mat& view : sep::window_views(image)) {
      cv::Mat gray;
      cv::cvtColor(view, gray, cv::COLOR_BGR2GRAY);
      out.push_back(gray);
    }
    return out;
  });
  return module_function("_reflected_sheet_blurs")(arrays_of(std::move(grays))).cast<py::list>();
}

namespace {

// What the detector reports on, however the hypotheses were made: the search corridor and the
// hypothesis records, as the module's stages give them.
struct Chosen {
  py::object geometry;
  py::object best_colon;    // or None
  py::object best_decimal;  // or None
  py::object selected;
  py::object height;
};

py::dict detection_report(const Chosen& c) {
  const py::object& selected = c.selected;
  const py::object& h = c.height;
  const py::object best = item(selected, "window");
  const py::object best_left = bridge::int_exact(item(best, "left"));
  const py::object best_right = bridge::int_exact(item(best, "right"));

  const bool is_colon = item(selected, "char").equal(py::str(":"));
  py::object upper = py::none();
  py::object lower;
  double local_x = 0.0;
  py::list selected_groups;
  if (is_colon) {
    const py::object candidate = item(best, "colon");
    upper = item(candidate, "upper");
    lower = item(candidate, "lower");
    local_x = sep::colon_position(dot(upper), dot(lower));
    selected_groups.append(upper);
    selected_groups.append(lower);
  } else {
    lower = item(item(best, "decimal"), "lower");
    local_x = float_of(item(lower, "center_x"));
    selected_groups.append(lower);
  }
  const char* separator_char = is_colon ? ":" : ".";

  py::list dots;
  for (py::handle g : selected_groups) {
    py::list dot_position;
    dot_position.append(rounded(float_of(best_left + item(g, "center_x")), 1));
    dot_position.append(rounded(float_of(item(g, "center_y")), 1));
    dots.append(dot_position);
  }
  py::dict corridor;
  corridor["search"] =
      box_of(bridge::int_exact(item(c.geometry, "search_left")), bridge::int_exact(item(c.geometry, "search_right")), h);
  corridor["selected"] = box_of(best_left, best_right, h);

  py::list groups;
  for (py::handle g : item(best, "groups")) {
    groups.append(public_group(g, best_left));
  }
  const py::object best_colon_candidate = get(best, "colon");
  const bool has_colon = bridge::truthy(best_colon_candidate);
  const auto colon_term = [&](const char* key) {
    return rounded(has_colon ? float_of(item(best_colon_candidate, key)) : 0.0, 4);
  };

  py::dict r;
  r["x"] = py::float_(float_of(best_left) + local_x);
  r["char"] = separator_char;
  r["mode"] = is_colon ? "minutes" : "tenths";
  r["confidence"] = py::float_(float_of(item(selected, "final_score")));
  r["dots"] = dots;
  r["corridor"] = corridor;
  r["physical_separator_box"] =
      box_of(bridge::int_exact(item(c.geometry, "physical_left")), bridge::int_exact(item(c.geometry, "physical_right")), h);
  r["candidate_window"] = box_of(best_left, best_right, h);
  r["spatial_prior"] = rounded(float_of(item(selected, "spatial_prior")), 4);
  r["topological_score"] = rounded(float_of(item(selected, "topological_score")), 4);
  r["final_score"] = rounded(float_of(item(selected, "final_score")), 4);
  r["hypothesis_char"] = separator_char;
  r["best_colon"] = public_hypothesis(c.best_colon, h);
  r["best_decimal"] = public_hypothesis(c.best_decimal, h);
  r["selected_hypothesis"] = public_hypothesis(selected, h);
  r["groups"] = groups;
  r["upper_group"] = public_group(upper, best_left);
  r["lower_group"] = public_group(lower, best_left);
  r["colon_score"] =
      rounded(c.best_colon.is_none() ? 0.0 : float_of(item(c.best_colon, "topological_score")), 4);
  r["decimal_score"] =
      rounded(c.best_decimal.is_none() ? 0.0 : float_of(item(c.best_decimal, "topological_score")), 4);
  r["alignment"] = colon_term("alignment");
  r["similarity"] = colon_term("similarity");
  r["energy_profile"] = item(best, "energy_profile");
  return r;
}

// The scores the choice between hypotheses reads, from a hypothesis record.
sep::Hypothesis scores_of(py::handle record, sep::SeparatorKind kind) {
  sep::Hypothesis h;
  h.kind = kind;
  h.final_score = float_of(item(record, "final_score"));
  h.topological_score = float_of(item(record, "topological_score"));
  return h;
}

py::object record_or_none(const py::list& records, const std::vector<sep::Hypothesis>& typed) {
  const std::optional<size_t> best = sep::best_hypothesis(typed);
  return best ? py::object(records[*best]) : py::object(py::none());
}

// The detector chained through the module's stages, any of which may have been replaced.
py::object detection_through_module(const py::object& source, const py::object& window_blurs,
                                    const py::object& per_window_blur) {
  const py::tuple dims = bridge::as_ndarray(source).attr("shape");
  if (dims.size() < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(dims.size()) + ")");
  }
  const py::object height = dims[0];
  const py::object width = dims[1];

  const py::object geometry = module_function("_separator_search_corridor")(width, height);
  const py::object physical_left = item(geometry, "physical_left");
  const py::object physical_right = item(geometry, "physical_right");
  const py::object window_width = item(geometry, "window_width");
  const std::vector<py::object> starts = starts_of(geometry);

  py::object blurs = py::none();
  if (!bridge::truthy(per_window_blur)) {
    blurs = window_blurs.is_none() ? module_function("_separator_window_blurs")(source) : window_blurs;
  }
  if (!blurs.is_none() && static_cast<size_t>(py::len(blurs)) != starts.size()) {
    throw py::value_error(kBlurCount);
  }
  const py::object evaluate = module_function("_evaluate_separator_window");
  py::list evaluations;
  if (blurs.is_none()) {
    for (const py::object& start : starts) {
      evaluations.append(evaluate(source, start, window_width));
    }
  } else {
    const py::list paired = steal(PySequence_List(blurs.ptr())).cast<py::list>();
    for (size_t i = 0; i < starts.size(); ++i) {
      evaluations.append(evaluate(source, starts[i], window_width, py::arg("blurred_gray") = paired[i]));
    }
  }

  const py::object hypothesis = module_function("_separator_hypothesis");
  py::list colons;
  py::list decimals;
  std::vector<sep::Hypothesis> colon_scores;
  std::vector<sep::Hypothesis> decimal_scores;
  for (py::handle e : evaluations) {
    py::object colon = hypothesis(e, ":", physical_left, physical_right);
    if (!colon.is_none()) {
      colons.append(colon);
      colon_scores.push_back(scores_of(colon, sep::SeparatorKind::Colon));
    }
    py::object decimal = hypothesis(e, ".", physical_left, physical_right);
    if (!decimal.is_none()) {
      decimals.append(decimal);
      decimal_scores.push_back(scores_of(decimal, sep::SeparatorKind::Decimal));
    }
  }
  Chosen c;
  c.geometry = geometry;
  c.height = bridge::int_exact(height);
  c.best_colon = record_or_none(colons, colon_scores);
  c.best_decimal = record_or_none(decimals, decimal_scores);
  const auto typed = [](const py::object& record, sep::SeparatorKind kind) -> std::optional<sep::Hypothesis> {
    if (record.is_none()) {
      return std::nullopt;
    }
    return scores_of(record, kind);
  };
  const std::optional<sep::Hypothesis> selected = sep::select_hypothesis(
      typed(c.best_colon, sep::SeparatorKind::Colon), typed(c.best_decimal, sep::SeparatorKind::Decimal));
  if (!selected) {
    return py::none();
  }
  c.selected = selected->kind == sep::SeparatorKind::Colon ? c.best_colon : c.best_decimal;
  return detection_report(c);
}

// The module's own function or object of that name, recorded when the module was made.
bool stages_native(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!is_own_attribute(name)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool native_detection_ready(bool per_window_blur) {
  if (!stages_native({"_separator_search_corridor", "_evaluate_separator_window", "_separator_hypothesis"})) {
    return false;
  }
  if (per_window_blur) {
    return true;
  }
  if (!stages_native({"_separator_window_blurs", "_reflected_sheet_blurs", "_ensure_reflected_sheet_blur"})) {
    return false;
  }
  // The self-check runs through the module the first time; after that it costs nothing.
  const std::optional<py::object> check = module_attribute("_ensure_reflected_sheet_blur");
  return check && bridge::truthy(attribute_or_none(*check, "ready"));
}

bool separator_source_supported(const py::array& source) {
  return source.ndim() == 3 && source.shape(2) == 3 && bridge::cv_depth_of(source.dtype()) == CV_8U &&
         source.size() > 0;
}

py::object detection_result(const std::optional<sep::Detection>& detection) {
  if (!detection) {
    return py::none();
  }
  const sep::Detection& d = *detection;
  std::vector<py::object> windows(d.windows.size());
  const auto window = [&](size_t i) -> const py::object& {
    if (!windows[i]) {
      windows[i] = evaluation_dict(d.windows[i]);
    }
    return windows[i];
  };
  const auto record = [&](const std::optional<sep::Hypothesis>& h) -> py::object {
    if (!h) {
      return py::none();
    }
    const py::str text(std::string(1, sep::separator_char(h->kind)));
    return hypothesis_dict(text, window(h->window), *h);
  };
  Chosen c;
  c.geometry = corridor_dict(d.corridor);
  c.height = py::int_(d.height);
  c.best_colon = record(d.best_colon);
  c.best_decimal = record(d.best_decimal);
  c.selected = d.selected.kind == sep::SeparatorKind::Colon ? c.best_colon : c.best_decimal;
  return detection_report(c);
}

py::object detect_clock_separator_without_regions(py::object crop, py::object angle, py::object window_blurs,
                                                  py::object per_window_blur) {
  if (crop.is_none() || bridge::as_ndarray(crop).size() == 0) {
    return py::none();
  }
  // abs(angle) >= 0.6: numbers only, as abs() takes them.
  const double degrees = float_of(steal(PyNumber_Absolute(angle.ptr()))) >= 0.6 ? float_of(angle) : 0.0;
  const bool each_window = bridge::truthy(per_window_blur);
  if (window_blurs.is_none() && native_detection_ready(each_window)) {
    const py::array array = bridge::as_ndarray(crop);
    if (separator_source_supported(array)) {
      const cv::Mat image = uint8_mat(array, "_detect_clock_separator_without_regions");
      const sep::WindowBlur blur = each_window ? sep::WindowBlur::PerWindow : sep::WindowBlur::Sheet;
      return detection_result(without_gil([&] {
        return sep::detect_separator(degrees != 0.0 ? tessaryn::panelsight::rotated(image, degrees) : image, blur);
      }));
    }
  }
  py::object source = crop;
  if (degrees != 0.0) {
    const cv::Mat image = uint8_mat(crop, "_detect_clock_separator_without_regions");
    source = bridge::ndarray_of(without_gil([&] { return tessaryn::panelsight::rotated(image, degrees); }));
  }
  return detection_through_module(source, window_blurs, per_window_blur);
}

}  // namespace tessaryn::panelsight::binding
