// native_ocr.panelsight: the Python face of the scoreboard reading core.
//
// The core works on plain numbers and cv::Mat; everything Python-shaped is decided in the binding
// files: which argument conversions apply, which exception a bad argument raises, and whether a
// result is a tuple or a list, an int or a float. The GIL is released while OpenCV works, so that
// the agent's reading threads overlap. This file only registers the functions, in module order.
#include <pybind11/pybind11.h>

#include "panelsight/binding_functions.hpp"

namespace py = pybind11;
namespace b = tessaryn::panelsight::binding;

PYBIND11_MODULE(panelsight, m) {
  m.doc() = "Reads seven-segment scoreboard fields from zones of a video frame.";

  m.attr("DEFAULT_PROCESSING") = b::default_processing();
  m.attr("SINGLE_DIGIT_ROLES") = b::single_digit_roles();

  m.def("normalized_zone_bounds", &b::normalized_zone_bounds, py::arg("zone"), py::arg("image_width"),
        py::arg("image_height"),
        "Pixel bounds (x1, y1, x2, y2) of a zone given in fractions of the frame; x2 and y2 are "
        "exclusive and x2 <= x1 or y2 <= y1 means an empty area.");
  m.def("_read_slots", &b::read_slots, py::arg("binary"), py::arg("slots"),
        "The digit reader's slot results for the layout (native_ocr.segmark.read_slots, looked up "
        "when called).");
  m.def("normalize_settings", &b::normalize_settings, py::arg("settings") = py::none(),
        "A new settings dict: the defaults, updated with the given settings, converted and clamped.");
  m.def("process_image", &b::process_image, py::arg("image"), py::arg("settings") = py::none(),
        "The prepared single-channel image of a crop under the given settings.");
  m.def("_box", &b::box, py::arg("x1"), py::arg("y1"), py::arg("x2"), py::arg("y2"),
        "[x1, y1, x2, y2] rounded to whole pixels, ties to even.");
  m.def("equal_digit_slots", &b::equal_digit_slots, py::arg("width"), py::arg("height"), py::arg("count"),
        "Layout of `count` equal digit slots across the crop.");
  m.def("clock_slots", &b::clock_slots, py::arg("width"), py::arg("height"), py::arg("separator_x") = py::none(),
        "Clock layout: two digits, the separator gap, two digits.");
  m.def("layout_for_role", &b::layout_for_role, py::arg("role"), py::arg("width"), py::arg("height"),
        py::arg("separator_x") = py::none(), "The slot layout of a field role.");
  m.def("decode_bgr_image", &b::decode_bgr_image, py::arg("preview_path"),
        "The file as a BGR uint8 image of shape (height, width, 3), or None when it is missing "
        "or cannot be decoded.");
  m.def("crop_zone_from_image", &b::crop_zone_from_image, py::arg("zone"), py::arg("image"),
        "The pixels of the image inside the zone, as a view sharing the image's memory, or None "
        "when the image is None or the zone selects no pixel.");
  m.def("crop_zone", &b::crop_zone, py::arg("zone"), py::arg("preview_path"),
        "crop_zone_from_image(zone, decode_bgr_image(preview_path)).");
  m.def("_remove_small_components", &b::remove_small_components, py::arg("mask"), py::arg("min_area"),
        "A new mask: 255 on the 8-connected components of area at least min_area, 0 elsewhere.");
  m.def("prepare_display_from_crop", &b::prepare_display_from_crop, py::arg("crop"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none(),
        "The prepared display of a crop: binary image, angle, size, separator, settings; or None.");
  m.def("prepare_display_from_image", &b::prepare_display_from_image, py::arg("zone"), py::arg("image"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none());
  m.def("prepare_display", &b::prepare_display, py::arg("zone"), py::arg("preview_path"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none());
  m.def("_role", &b::role, py::arg("zone"), "The zone's role text, or None.");
  m.def("_processing", &b::processing, py::arg("zone"), "The zone's processing settings, or None.");
  m.def("read_score_from_crop", &b::read_score_from_crop, py::arg("crop"), py::arg("role") = "home_score",
        py::arg("processing") = py::none(), "Reads a two-digit field (score, shots, ...) from its crop.");
  m.def("read_score_from_image", &b::read_score_from_image, py::arg("zone"), py::arg("image"));
  m.def("read_score", &b::read_score, py::arg("zone"), py::arg("preview_path"));
  m.def("read_period_from_crop", &b::read_period_from_crop, py::arg("crop"), py::arg("processing") = py::none(),
        "Reads the one-digit period from its crop.");
  m.def("read_period_from_image", &b::read_period_from_image, py::arg("zone"), py::arg("image"));
  m.def("read_period", &b::read_period, py::arg("zone"), py::arg("preview_path"));
  m.def("read_single_digit_from_crop", &b::read_single_digit_from_crop, py::arg("crop"), py::arg("role"),
        py::arg("processing") = py::none(), "Reads down or a timeout counter from its crop.");
  m.def("read_single_digit_from_image", &b::read_single_digit_from_image, py::arg("zone"), py::arg("image"));
  m.def("read_single_digit", &b::read_single_digit, py::arg("zone"), py::arg("preview_path"));
}
