// native_ocr.calibrate: the operator's "auto" button. The zone is cut and its settings normalized
// by native_ocr.panelsight itself, so a zone means the same thing to both modules.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <optional>
#include <string>

#include "calibrate/core/calibrate.hpp"
#include "common/numeric.hpp"
#include "common/pybridge.hpp"
#include "panelsight/core/layouts.hpp"

namespace py = pybind11;
namespace bridge = tessaryn::py_bridge;
namespace robust = tessaryn::panelsight::robust;

namespace {

robust::FieldKind kind_of(py::handle role) {
  std::string name;
  if (PyUnicode_Check(role.ptr())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(role.ptr(), &size);
    if (text == nullptr) {
      PyErr_Clear();
    } else {
      name.assign(text, static_cast<size_t>(size));
    }
  }
  switch (tessaryn::panelsight::layout_kind(name)) {
    case tessaryn::panelsight::LayoutKind::Clock: return robust::FieldKind::Clock;
    case tessaryn::panelsight::LayoutKind::TwoDigits: return robust::FieldKind::Pair;
    case tessaryn::panelsight::LayoutKind::OneDigit: return robust::FieldKind::Single;
  }
  return robust::FieldKind::Single;
}

py::dict suggest_processing(py::object image, py::object zone) {
  py::module_ panelsight = py::module_::import("native_ocr.panelsight");
  py::dict settings = panelsight.attr("normalize_settings")(py::none());
  settings["profile"] = "robust";
  py::object crop = panelsight.attr("crop_zone_from_image")(zone, image);
  if (crop.is_none()) {
    // Nothing to look at: the robust profile with everything left to each frame.
    return settings;
  }
  py::array array = bridge::as_ndarray(crop);
  if (bridge::cv_depth_of(array.dtype()) != CV_8U || array.ndim() < 2 || array.ndim() > 3 ||
      (array.ndim() == 3 && array.shape(2) != 3 && array.shape(2) != 1)) {
    bridge::raise_cv_error(cv::Exception(cv::Error::StsUnsupportedFormat,
                                         "the image must be a uint8 BGR or gray image", "suggest_processing",
                                         __FILE__, __LINE__));
  }
  const cv::Mat mat = bridge::mat_of(array);
  const robust::FieldKind kind = kind_of(panelsight.attr("_role")(zone));
  tessaryn::calibrate::Suggestion s;
  {
    py::gil_scoped_release release;
    s = tessaryn::calibrate::suggest(mat, kind);
  }
  settings["threshold"] = s.threshold;
  settings["invert"] = s.invert;
  settings["robust_channel"] = std::string(robust::channel_name(s.options.channel));
  settings["robust_polarity"] = std::string(robust::polarity_name(s.options.polarity));
  if (s.options.slant) {
    settings["robust_slant"] = tessaryn::numeric::round_decimals(*s.options.slant, 3);
  }
  return settings;
}

}  // namespace

PYBIND11_MODULE(calibrate, m) {
  m.doc() = "Processing settings for a zone, chosen from one still of the board.";
  m.def("suggest_processing", &suggest_processing, py::arg("image"), py::arg("zone"),
        "A complete processing dict for the zone (the robust profile with the board's colour channel, "
        "polarity and lean fixed), chosen from the BGR frame `image` alone.");
}
