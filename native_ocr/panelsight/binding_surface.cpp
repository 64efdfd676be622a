// The reading surface in Python terms: module constants, zone bounds, crops, preview decoding,
// box rounding, small-component removal and the zone accessors.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <array>
#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_support.hpp"
#include "panelsight/core/box.hpp"
#include "panelsight/core/components.hpp"
#include "panelsight/core/image_io.hpp"
#include "panelsight/core/roles.hpp"
#include "panelsight/core/settings.hpp"
#include "panelsight/core/zones.hpp"

namespace tessaryn::panelsight::binding {

namespace bridge = tessaryn::py_bridge;
namespace core = tessaryn::panelsight;



py::dict default_processing() {
  const core::ProcessingSettings& d = core::kDefaultProcessing;
  py::dict settings;
  settings["threshold"] = py::int_(d.threshold);
  settings["contrast"] = py::float_(d.contrast);
  settings["brightness"] = py::int_(d.brightness);
  settings["gamma"] = py::float_(d.gamma);
  settings["rotation"] = py::float_(d.rotation);
  settings["blur"] = py::int_(d.blur);
  const std::string_view morphology = core::morphology_name(d.morphology);
  settings["morphology"] = py::str(morphology.data(), morphology.size());
  settings["morph_size"] = py::int_(d.morph_size);
  settings["grayscale"] = py::bool_(d.grayscale);
  settings["binarize"] = py::bool_(d.binarize);
  settings["invert"] = py::bool_(d.invert);
  return settings;
}

py::frozenset single_digit_roles() {
  py::set roles;
  for (const std::string_view role : core::kSingleDigitRoles) {
    roles.add(py::str(role.data(), role.size()));
  }
  return py::frozenset(roles);
}

// Pixel bounds both as the core computed them and as the Python ints handed out.
struct ZoneBounds {
  core::PixelBounds pixels;
  std::array<py::object, 4> ints;  // x1, y1, x2, y2
};

// The zone's geometry by item access (the mapping's own KeyError for a missing key, TypeError for
// a value that is not a real number), bounded by the core rule. A bound that is not finite raises
// what int() raises for it, ValueError for NaN and OverflowError for an infinity, in the order
// x1, y1, x2, y2. Bounds too large for any integer type still come back exact.
ZoneBounds zone_bounds_of(py::handle zone, py::handle image_width, py::handle image_height) {
  core::ZoneGeometry geometry;
  geometry.x = bridge::to_double(py::object(zone[py::str("x")]));
  geometry.y = bridge::to_double(py::object(zone[py::str("y")]));
  geometry.width = bridge::to_double(py::object(zone[py::str("width")]));
  geometry.height = bridge::to_double(py::object(zone[py::str("height")]));
  const double width = bridge::to_double(image_width);
  const double height = bridge::to_double(image_height);

  ZoneBounds bounds;
  bounds.pixels = core::zone_bounds(geometry, width, height);
  const std::array<double, 4> values{bounds.pixels.x1, bounds.pixels.y1, bounds.pixels.x2,
                                     bounds.pixels.y2};
  for (size_t i = 0; i < values.size(); ++i) {
    // PyLong_FromDouble raises int()'s own errors for NaN and infinities.
    bounds.ints[i] = bridge::int_from_whole_double(values[i]);
  }
  return bounds;
}

py::tuple normalized_zone_bounds(py::object zone, py::object image_width, py::object image_height) {
  ZoneBounds bounds = zone_bounds_of(zone, image_width, image_height);
  return py::make_tuple(bounds.ints[0], bounds.ints[1], bounds.ints[2], bounds.ints[3]);
}

// round(value) as an int: ints exactly as they are, everything else through its float value with
// ties to the even neighbour.
py::object rounded_coordinate(py::handle value) {
  PyObject* raw = value.ptr();
  if (!PyFloat_Check(raw) && (PyLong_Check(raw) || PyIndex_Check(raw))) {
    PyObject* whole = PyNumber_Index(raw);
    if (whole == nullptr) {
      throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(whole);
  }
  return bridge::int_from_whole_double(core::round_box_coordinate(bridge::to_double(value)));
}

py::list box(py::object x1, py::object y1, py::object x2, py::object y2) {
  py::list result;
  for (const py::object& value : {x1, y1, x2, y2}) {
    result.append(rounded_coordinate(value));
  }
  return result;
}

py::object decode_bgr_image(py::object preview_path) {
  const std::optional<std::string> path = filesystem_path_of(preview_path);
  if (!path) {
    return py::none();
  }
  cv::Mat image;
  {
    py::gil_scoped_release release;
    image = core::decode_bgr_image(*path);
  }
  if (image.empty()) {
    return py::none();
  }
  return bridge::ndarray_of(std::move(image));
}

py::object crop_zone_from_image(py::object zone, py::object image) {
  if (image.is_none()) {
    return py::none();
  }
  // height, width = image.shape[:2]: colour and gray frames alike.
  const py::tuple dims(py::object(image.attr("shape")[bridge::python_slice(py::none(), py::int_(2))]));
  if (dims.size() != 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " +
                          std::to_string(dims.size()) + ")");
  }
  const ZoneBounds bounds = zone_bounds_of(zone, dims[1], dims[0]);
  // Decided before slicing: Python would read a negative end as counted from the far edge.
  if (core::selection_is_empty(bounds.pixels)) {
    return py::none();
  }
  // Slicing the caller's own object keeps the crop a view of the frame, whatever its strides.
  py::object crop = image[py::make_tuple(bridge::python_slice(bounds.ints[1], bounds.ints[3]),
                                         bridge::python_slice(bounds.ints[0], bounds.ints[2]))];
  if (!bridge::truthy(crop.attr("size"))) {
    return py::none();  // a frame without channels
  }
  return crop;
}

py::object crop_zone(py::object zone, py::object preview_path) {
  return crop_zone_from_image(zone, decode_bgr_image(preview_path));
}

[[noreturn]] void raise_mask_error(int code, const std::string& message) {
  bridge::raise_cv_error(cv::Exception(code, message, "_remove_small_components", __FILE__, __LINE__));
}

// The mask as a single-channel 8-bit Mat over (or, for odd strides, copied from) its pixels. Masks
// OpenCV cannot label raise cv2.error, as its own labelling would.
cv::Mat mask_mat_of(const py::array& mask) {
  const auto ndim = mask.ndim();
  if (ndim < 1 || ndim > 3) {
    raise_mask_error(cv::Error::StsBadArg,
                     "the mask must have 1 to 3 dimensions, got " + std::to_string(ndim));
  }
  if (bridge::cv_depth_of(mask.dtype()) != CV_8U) {
    raise_mask_error(cv::Error::StsUnsupportedFormat,
                     "the mask must be of dtype uint8, got " + std::string(py::str(mask.dtype())));
  }
  if (ndim == 3 && mask.shape(2) != 1) {
    raise_mask_error(cv::Error::StsUnsupportedFormat,
                     "the mask must have one channel, got " + std::to_string(mask.shape(2)));
  }
  for (py::ssize_t axis = 0; axis < std::min<py::ssize_t>(ndim, 2); ++axis) {
    if (mask.shape(axis) > INT_MAX) {
      raise_mask_error(cv::Error::StsOutOfRange, "the mask is too large for OpenCV");
    }
  }
  return bridge::mat_of(mask);
}

// min_area as the double the areas are compared with. Areas are below 2^31, so ints beyond any
// double's exact range still compare as they would exactly; only ints need the saturating path,
// since float() refuses the largest of them.
double area_threshold(py::handle min_area) {
  if (PyLong_Check(min_area.ptr())) {
    return static_cast<double>(bridge::int_saturating(min_area));
  }
  return bridge::to_double(min_area);
}

py::object remove_small_components(py::object mask, py::object min_area) {
  const py::array array = bridge::as_ndarray(mask);
  const cv::Mat input = mask_mat_of(array);
  const double threshold = area_threshold(min_area);

  cv::Mat kept;
  std::optional<cv::Exception> failure;
  {
    py::gil_scoped_release release;
    try {
      kept = core::remove_small_components(input, threshold);
    } catch (const cv::Exception& error) {
      failure = error;
    }
  }
  if (failure) {
    bridge::raise_cv_error(*failure);
  }

  // zeros_like keeps the caller's shape (a trailing channel axis, a 1-D mask) and memory order.
  py::module_ numpy = py::module_::import("numpy");
  py::object result = numpy.attr("zeros_like")(array);
  if (!kept.empty()) {
    py::object labelled = bridge::ndarray_of(std::move(kept)).attr("reshape")(array.attr("shape"));
    numpy.attr("copyto")(result, labelled);
  }
  return result;
}

py::object role(py::object zone) {
  py::object value = attribute_or_none(zone, "role");
  if (!value.is_none()) {
    return value;
  }
  if (PyDict_Check(zone.ptr())) {
    return zone.attr("get")("role");
  }
  return py::none();
}

py::object processing(py::object zone) {
  if (PyDict_Check(zone.ptr())) {
    return zone.attr("get")("processing");
  }
  return attribute_or_none(zone, "processing");
}

}  // namespace tessaryn::panelsight::binding
