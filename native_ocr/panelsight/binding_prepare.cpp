// Processing settings and image preparation in Python terms.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "common/pybridge.hpp"
#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_robust.hpp"
#include "panelsight/binding_support.hpp"
#include "panelsight/core/prepare.hpp"
#include "panelsight/core/settings.hpp"

namespace tessaryn::panelsight::binding {

namespace bridge = tessaryn::py_bridge;
namespace core = tessaryn::panelsight;
using tessaryn::py_bridge::steal;

namespace {

// int(value), clamped, as a Python int. int() refuses what Python's int() refuses (None, lists,
// text that is not a decimal integer) with Python's own error.
int64_t int_setting(py::dict settings, const char* key, core::SettingRange<int64_t> range) {
  const int64_t value = core::clamp_setting(bridge::int_saturating(settings[key]), range);
  settings[key] = py::int_(value);
  return value;
}

// float(value), clamped, as a Python float; float() also takes numeric text.
double float_setting(py::dict settings, const char* key, core::SettingRange<double> range) {
  const py::object converted = steal(PyNumber_Float(py::object(settings[key]).ptr()));
  const double value = core::clamp_setting(PyFloat_AS_DOUBLE(converted.ptr()), range);
  settings[key] = py::float_(value);
  return value;
}

bool bool_setting(py::dict settings, const char* key) {
  const bool value = bridge::truthy(settings[key]);
  settings[key] = py::bool_(value);
  return value;
}

// A matching value is kept as the caller gave it (it compares equal to the name); anything else
// becomes "none".
core::Morphology morphology_setting(py::dict settings) {
  const py::object value = settings["morphology"];
  for (size_t i = 0; i < core::kMorphologyNames.size(); ++i) {
    const std::string_view name = core::kMorphologyNames[i];
    const py::str text(name.data(), name.size());
    const int equal = PyObject_RichCompareBool(value.ptr(), text.ptr(), Py_EQ);
    if (equal < 0) {
      throw py::error_already_set();
    }
    if (equal == 1) {
      return static_cast<core::Morphology>(i);
    }
  }
  settings["morphology"] = py::str("none");
  return core::Morphology::None;
}

NormalizedSettings normalized(py::handle settings) {
  // The module's defaults as they are now; the module never changes them, but a caller may.
  const std::optional<py::object> defaults = module_attribute("DEFAULT_PROCESSING");
  // dict(DEFAULT_PROCESSING): py::dict of a dict would share it rather than copy it.
  NormalizedSettings out{
      defaults ? steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), defaults->ptr()))
                     .cast<py::dict>()
               : default_processing(),
      {}};
  if (bridge::truthy(settings)) {
    out.dict.attr("update")(settings);
  }
  core::ProcessingSettings& v = out.values;
  v.threshold = static_cast<int>(int_setting(out.dict, "threshold", core::kThresholdRange));
  v.contrast = float_setting(out.dict, "contrast", core::kContrastRange);
  v.brightness = static_cast<int>(int_setting(out.dict, "brightness", core::kBrightnessRange));
  v.gamma = float_setting(out.dict, "gamma", core::kGammaRange);
  v.rotation = float_setting(out.dict, "rotation", core::kRotationRange);
  v.blur = static_cast<int>(int_setting(out.dict, "blur", core::kBlurRange));
  v.morph_size = static_cast<int>(int_setting(out.dict, "morph_size", core::kMorphSizeRange));
  v.morphology = morphology_setting(out.dict);
  v.grayscale = bool_setting(out.dict, "grayscale");
  v.binarize = bool_setting(out.dict, "binarize");
  v.invert = bool_setting(out.dict, "invert");
  return out;
}

[[noreturn]] void raise_image_error(int code, const std::string& message) {
  bridge::raise_cv_error(cv::Exception(code, message, "process_image", __FILE__, __LINE__));
}

// The image as OpenCV sees it: a 1-D array is a column and a 0-D one a single pixel, as OpenCV's
// own Python conversion makes them. Only uint8 images are prepared.
cv::Mat image_mat_of(py::array array) {
  if (bridge::cv_depth_of(array.dtype()) != CV_8U) {
    raise_image_error(cv::Error::StsUnsupportedFormat,
                      "the image must be of dtype uint8, got " + std::string(py::str(array.dtype())));
  }
  if (array.ndim() < 2) {
    array = array.attr("reshape")(-1, 1).cast<py::array>();
  }
  if (array.ndim() > 3) {
    raise_image_error(cv::Error::StsBadArg,
                      "the image must have 2 or 3 dimensions, got " + std::to_string(array.ndim()));
  }
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    if (array.shape(axis) > INT_MAX) {
      raise_image_error(cv::Error::StsOutOfRange, "the image is too large for OpenCV");
    }
  }
  if (array.ndim() == 3 && array.shape(2) > CV_CN_MAX) {
    raise_image_error(cv::Error::StsBadArg, "the image has too many channels");
  }
  return bridge::mat_of(array);
}

// process_image on an image known to hold pixels.
py::array processed(const py::array& array, const core::ProcessingSettings& settings) {
  const cv::Mat input = image_mat_of(array);
  const core::PixelLayout layout = array.ndim() == 3 ? core::PixelLayout::Colour : core::PixelLayout::Gray;
  return bridge::ndarray_of(bridge::without_gil([&] { return core::process_image(input, layout, settings); }));
}

// `image is None or image.size == 0`
bool has_no_pixels(py::handle image, py::array* array) {
  if (image.is_none()) {
    return true;
  }
  *array = bridge::as_ndarray(image);
  return array->size() == 0;
}

}  // namespace

py::dict normalize_settings(py::object settings) { return normalized(settings).dict; }

py::object process_image(py::object image, py::object settings) {
  const NormalizedSettings s = normalized(settings);
  py::array array;
  if (has_no_pixels(image, &array)) {
    return image;
  }
  return processed(array, s.values);
}

std::optional<CropInputs> crop_inputs(py::object crop, py::object processing_settings) {
  py::array array;
  if (has_no_pixels(crop, &array)) {
    return std::nullopt;
  }
  CropInputs in{array, normalized(processing_settings), {}, core::PixelLayout::Gray};
  in.image = image_mat_of(array);
  in.layout = array.ndim() == 3 ? core::PixelLayout::Colour : core::PixelLayout::Gray;
  return in;
}

PreparedDisplay prepared_display(const CropInputs& in, cv::Mat binary, py::object separator) {
  PreparedDisplay display;
  display.angle = in.settings.values.rotation;
  display.crop_size.append(py::int_(binary.cols));
  display.crop_size.append(py::int_(binary.rows));
  display.binary = bridge::ndarray_of(std::move(binary));
  display.separator = std::move(separator);
  display.processing = in.settings.dict;
  return display;
}

std::optional<PreparedDisplay> prepare_display_of_crop(py::object crop, py::object detect_separator,
                                                       py::object processing_settings) {
  const std::optional<CropInputs> in = crop_inputs(crop, processing_settings);
  if (!in) {
    return std::nullopt;
  }
  cv::Mat binary = bridge::without_gil([&] { return core::process_image(in->image, in->layout, in->settings.values); });
  py::object separator = py::none();
  if (bridge::truthy(detect_separator)) {
    // Looked up when needed, so that the detection can be replaced (or is simply absent).
    if (const std::optional<py::object> detect = module_attribute("_detect_clock_separator_without_regions")) {
      separator = (*detect)(crop, py::float_(0.0));
    }
  }
  return prepared_display(*in, std::move(binary), separator);
}

py::dict prepared_display_dict(const PreparedDisplay& display) {
  py::dict d;
  d["binary"] = display.binary;
  d["angle"] = py::float_(display.angle);
  d["crop_size"] = display.crop_size;
  d["separator"] = display.separator;
  d["processing"] = display.processing;
  return d;
}

py::object prepare_display_from_crop(py::object crop, py::object detect_separator, py::object processing_settings) {
  if (robust_path::requested(processing_settings)) return robust_path::prepare_display(crop, detect_separator, processing_settings);
  const std::optional<PreparedDisplay> display = prepare_display_of_crop(crop, detect_separator, processing_settings);
  if (!display) {
    return py::none();
  }
  return prepared_display_dict(*display);
}

py::object prepare_display_from_image(py::object zone, py::object image, py::object detect_separator,
                                      py::object processing_settings) {
  return prepare_display_from_crop(crop_zone_from_image(zone, image), detect_separator, processing_settings);
}

py::object prepare_display(py::object zone, py::object preview_path, py::object detect_separator,
                           py::object processing_settings) {
  return prepare_display_from_image(zone, decode_bgr_image(preview_path), detect_separator, processing_settings);
}

}  // namespace tessaryn::panelsight::binding
