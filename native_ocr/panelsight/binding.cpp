// native_ocr.panelsight: the Python face of the scoreboard reading core.
//
// The core works on plain numbers and cv::Mat; everything Python-shaped is decided in the binding
// files: which argument conversions apply, which exception a bad argument raises, and whether a
// result is a tuple or a list, an int or a float. The GIL is released while OpenCV works, so that
// the agent's reading threads overlap. This file only registers the functions, in module order.
#include <pybind11/pybind11.h>

#include "panelsight/binding_functions.hpp"
#include "panelsight/binding_support.hpp"

namespace py = pybind11;
namespace b = tessaryn::panelsight::binding;

PYBIND11_MODULE(panelsight, m) {
  // Each docstring starts with the Python signature, written out: pybind11's own would show every
  // argument as a plain object.
  py::options options;
  options.disable_function_signatures();
  m.doc() = "Reads seven-segment scoreboard fields from zones of a video frame.";

  m.attr("DEFAULT_PROCESSING") = b::default_processing();
  m.attr("SINGLE_DIGIT_ROLES") = b::single_digit_roles();

  m.def("normalized_zone_bounds", &b::normalized_zone_bounds, py::arg("zone"), py::arg("image_width"),
        py::arg("image_height"),
        "normalized_zone_bounds(zone, image_width, image_height) -> tuple[int, int, int, int]\n\n"
        "Pixel bounds (x1, y1, x2, y2) of a zone given in fractions of the frame; x2 and y2 are "
        "exclusive and x2 <= x1 or y2 <= y1 means an empty area.");
  m.def("_read_slots", &b::read_slots, py::arg("binary"), py::arg("slots"),
        "_read_slots(binary, slots) -> list[dict]\n\n"
        "The digit reader's slot results for the layout (native_ocr.segmark.read_slots, looked up "
        "when called).");
  m.def("normalize_settings", &b::normalize_settings, py::arg("settings") = py::none(),
        "normalize_settings(settings=None) -> dict\n\n"
        "A new settings dict: the defaults, updated with the given settings, converted and clamped.");
  m.def("process_image", &b::process_image, py::arg("image"), py::arg("settings") = py::none(),
        "process_image(image, settings=None) -> numpy.ndarray | None\n\n"
        "The prepared single-channel image of a crop under the given settings.");
  m.def("_box", &b::box, py::arg("x1"), py::arg("y1"), py::arg("x2"), py::arg("y2"),
        "_box(x1, y1, x2, y2) -> list[int]\n\n"
        "[x1, y1, x2, y2] rounded to whole pixels, ties to even.");
  m.def("equal_digit_slots", &b::equal_digit_slots, py::arg("width"), py::arg("height"), py::arg("count"),
        "equal_digit_slots(width, height, count) -> list[dict]\n\n"
        "Layout of `count` equal digit slots across the crop.");
  m.def("clock_slots", &b::clock_slots, py::arg("width"), py::arg("height"), py::arg("separator_x") = py::none(),
        "clock_slots(width, height, separator_x=None) -> list[dict]\n\n"
        "Clock layout: two digits, the separator gap, two digits.");
  m.def("layout_for_role", &b::layout_for_role, py::arg("role"), py::arg("width"), py::arg("height"),
        py::arg("separator_x") = py::none(), "layout_for_role(role, width, height, separator_x=None) -> list[dict]\n\n"
        "The slot layout of a field role.");
  m.def("decode_bgr_image", &b::decode_bgr_image, py::arg("preview_path"),
        "decode_bgr_image(preview_path) -> numpy.ndarray | None\n\n"
        "The file as a BGR uint8 image of shape (height, width, 3), or None when it is missing "
        "or cannot be decoded.");
  m.def("crop_zone_from_image", &b::crop_zone_from_image, py::arg("zone"), py::arg("image"),
        "crop_zone_from_image(zone, image) -> numpy.ndarray | None\n\n"
        "The pixels of the image inside the zone, as a view sharing the image's memory, or None "
        "when the image is None or the zone selects no pixel.");
  m.def("crop_zone", &b::crop_zone, py::arg("zone"), py::arg("preview_path"),
        "crop_zone(zone, preview_path) -> numpy.ndarray | None\n\n"
        "crop_zone_from_image(zone, decode_bgr_image(preview_path)).");
  m.def("_remove_small_components", &b::remove_small_components, py::arg("mask"), py::arg("min_area"),
        "_remove_small_components(mask, min_area) -> numpy.ndarray\n\n"
        "A new mask: 255 on the 8-connected components of area at least min_area, 0 elsewhere.");
  // The clock separator detection: its stages, then the detector that chains them.
  m.def("_clock_separator_mask", &b::clock_separator_mask, py::arg("crop"), py::arg("blurred_gray") = py::none(),
        "_clock_separator_mask(crop, blurred_gray=None) -> numpy.ndarray\n\n"
        "0/255 mask of the lit separator pixels of a search window.");
  m.def("_separator_energy_map", &b::separator_energy_map, py::arg("corridor"),
        py::arg("blurred_gray") = py::none(),
        "_separator_energy_map(corridor, blurred_gray=None) -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]\n\n"
        "(binary, gray_energy, combined) float32 energies of a window.");
  m.def("_separator_runs", &b::separator_runs, py::arg("bits"),
        "_separator_runs(bits) -> list[list[int]]\n\n"
        "[start, end] of each run of true values, inclusive, in order.");
  m.def("_weighted_quantile", &b::weighted_quantile, py::arg("values"), py::arg("weights"), py::arg("quantile"),
        "_weighted_quantile(values, weights, quantile) -> float");
  m.def("_separator_groups", &b::separator_groups, py::arg("binary"), py::arg("gray_energy"), py::arg("combined"),
        "_separator_groups(binary, gray_energy, combined) -> tuple[list[dict], list[float]]\n\n"
        "(group records, six-slice energy profile) of a window's energy map.");
  m.def("_separator_topology", &b::separator_topology, py::arg("groups"), py::arg("corridor_width"),
        py::arg("corridor_height"), "_separator_topology(groups, corridor_width, corridor_height) -> dict\n\n"
        "Best colon and decimal-point candidates among a window's groups.");
  m.def("_separator_search_corridor", &b::separator_search_corridor, py::arg("crop_width"), py::arg("crop_height"),
        "_separator_search_corridor(crop_width, crop_height) -> dict\n\n"
        "Nominal separator slot and the columns the search may use.");
  m.def("_evaluate_separator_window", &b::evaluate_separator_window, py::arg("crop"), py::arg("left"),
        py::arg("window_width"), py::arg("blurred_gray") = py::none(),
        "_evaluate_separator_window(crop, left, window_width, blurred_gray=None) -> dict\n\n"
        "Groups, energy profile and topology of the search window starting at `left`.");
  m.def("_separator_spatial_prior", &b::separator_spatial_prior, py::arg("candidate_left"),
        py::arg("candidate_right"), py::arg("hypothesis_x"), py::arg("physical_left"), py::arg("physical_right"),
        "_separator_spatial_prior(candidate_left, candidate_right, hypothesis_x, physical_left, "
        "physical_right) -> dict\n\n"
        "How well a window and a separator position agree with the nominal slot.");
  m.def("_separator_hypothesis", &b::separator_hypothesis, py::arg("evaluated"), py::arg("hypothesis_char"),
        py::arg("physical_left"), py::arg("physical_right"),
        "_separator_hypothesis(evaluated, hypothesis_char, physical_left, physical_right) -> dict | None\n\n"
        "Colon (\":\") or decimal-point hypothesis of a window evaluation, or None.");
  m.def("_reflect_blur_radius", &b::reflect_blur_radius, py::arg("sigma") = 7.0,
        "_reflect_blur_radius(sigma=7.0) -> int");
  m.def("_reflected_sheet_blurs", &b::reflected_sheet_blurs, py::arg("grays"), py::arg("sigma") = 7.0,
        "_reflected_sheet_blurs(grays, sigma=7.0) -> list[numpy.ndarray]\n\n"
        "Gaussian blurs of equal-height gray images from one blur of a sheet of reflected windows.");
  {
    // A function object with its own `ready` flag; its class is not part of the module.
    py::class_<b::SheetBlurSelfCheck> check(m, "_ReflectedSheetBlurSelfCheck", py::dynamic_attr());
    check.def(py::init<>())
        .def("__call__", [](py::object self) { b::SheetBlurSelfCheck::call(self); },
             "__call__(self) -> None\n\nChecks once per process that the sheet blur equals the per-window "
             "blur; RuntimeError if not.");
    m.attr("_ensure_reflected_sheet_blur") = check();
    py::delattr(m, "_ReflectedSheetBlurSelfCheck");
  }
  m.def("_separator_window_views", &b::separator_window_views, py::arg("source"),
        "_separator_window_views(source) -> list[numpy.ndarray]\n\n"
        "Contiguous copies of the detector's search windows, in start order.");
  m.def("_separator_window_blurs", &b::separator_window_blurs, py::arg("source"),
        "_separator_window_blurs(source) -> list[numpy.ndarray]\n\n"
        "Detail blur of every search window, from one blurred sheet.");
  m.def("_detect_clock_separator_without_regions", &b::detect_clock_separator_without_regions, py::arg("crop"),
        py::arg("angle") = 0.0, py::kw_only(), py::arg("window_blurs") = py::none(),
        py::arg("per_window_blur") = false,
        "_detect_clock_separator_without_regions(crop, angle=0.0, *, window_blurs=None, "
        "per_window_blur=False) -> dict | None\n\n"
        "Where the clock's separator is and whether it is a colon or a decimal point, or None.");
  m.def("prepare_display_from_crop", &b::prepare_display_from_crop, py::arg("crop"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none(),
        "prepare_display_from_crop(crop, detect_separator=False, processing=None) -> dict | None\n\n"
        "The prepared display of a crop: binary image, angle, size, separator, settings; or None.");
  m.def("prepare_display_from_image", &b::prepare_display_from_image, py::arg("zone"), py::arg("image"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none(),
        "prepare_display_from_image(zone, image, detect_separator=False, processing=None) -> dict | None");
  m.def("prepare_display", &b::prepare_display, py::arg("zone"), py::arg("preview_path"),
        py::arg("detect_separator") = false, py::arg("processing") = py::none(),
        "prepare_display(zone, preview_path, detect_separator=False, processing=None) -> dict | None");
  m.def("_role", &b::role, py::arg("zone"), "_role(zone) -> str | None\n\n"
        "The zone's role text, or None.");
  m.def("_processing", &b::processing, py::arg("zone"), "_processing(zone) -> dict | None\n\n"
        "The zone's processing settings, or None.");
  m.def("read_clock_from_crop", &b::read_clock_from_crop, py::arg("crop"), py::arg("role") = "clock",
        py::arg("processing") = py::none(), "read_clock_from_crop(crop, role='clock', processing=None) -> dict\n\n"
        "Reads a game or penalty clock (12:34 or 45.6) from its crop.");
  m.def("read_clock_from_image", &b::read_clock_from_image, py::arg("zone"), py::arg("image"),
        "read_clock_from_image(zone, image) -> dict");
  m.def("read_clock", &b::read_clock, py::arg("zone"), py::arg("preview_path"),
        "read_clock(zone, preview_path) -> dict");
  m.def("read_clock_zone", &b::read_clock, py::arg("zone"), py::arg("preview_path"),
        "read_clock_zone(zone, preview_path) -> dict");
  m.def("read_score_from_crop", &b::read_score_from_crop, py::arg("crop"), py::arg("role") = "home_score",
        py::arg("processing") = py::none(), "read_score_from_crop(crop, role='home_score', processing=None) -> dict\n\n"
        "Reads a two-digit field (score, shots, ...) from its crop.");
  m.def("read_score_from_image", &b::read_score_from_image, py::arg("zone"), py::arg("image"),
        "read_score_from_image(zone, image) -> dict");
  m.def("read_score", &b::read_score, py::arg("zone"), py::arg("preview_path"),
        "read_score(zone, preview_path) -> dict");
  m.def("read_period_from_crop", &b::read_period_from_crop, py::arg("crop"), py::arg("processing") = py::none(),
        "read_period_from_crop(crop, processing=None) -> dict\n\n"
        "Reads the one-digit period from its crop.");
  m.def("read_period_from_image", &b::read_period_from_image, py::arg("zone"), py::arg("image"),
        "read_period_from_image(zone, image) -> dict");
  m.def("read_period", &b::read_period, py::arg("zone"), py::arg("preview_path"),
        "read_period(zone, preview_path) -> dict");
  m.def("read_single_digit_from_crop", &b::read_single_digit_from_crop, py::arg("crop"), py::arg("role"),
        py::arg("processing") = py::none(), "read_single_digit_from_crop(crop, role, processing=None) -> dict\n\n"
        "Reads down or a timeout counter from its crop.");
  m.def("read_single_digit_from_image", &b::read_single_digit_from_image, py::arg("zone"), py::arg("image"),
        "read_single_digit_from_image(zone, image) -> dict");
  m.def("read_single_digit", &b::read_single_digit, py::arg("zone"), py::arg("preview_path"),
        "read_single_digit(zone, preview_path) -> dict");

  // The stages a read may reach; a call runs in one piece only while each is still this module's.
  b::record_own_attributes(m, {"_detect_clock_separator_without_regions", "_separator_search_corridor",
                               "_evaluate_separator_window", "_separator_hypothesis", "_separator_window_blurs",
                               "_reflected_sheet_blurs", "_ensure_reflected_sheet_blur"});
}
