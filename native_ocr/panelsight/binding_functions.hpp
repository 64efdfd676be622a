// The Python-facing functions of the module, implemented across the binding files and registered
// in module order by binding.cpp. Each takes Python objects, applies the Python rules (argument
// conversion, exception types, exact result types) and calls the C++ core.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>

#include "panelsight/core/prepare.hpp"
#include "panelsight/core/separator/detect.hpp"
#include "panelsight/core/settings.hpp"

namespace tessaryn::panelsight::binding {

namespace py = pybind11;

// Reading surface (binding_surface.cpp).
py::dict default_processing();
py::frozenset single_digit_roles();
py::tuple normalized_zone_bounds(py::object zone, py::object image_width, py::object image_height);
py::list box(py::object x1, py::object y1, py::object x2, py::object y2);
py::object decode_bgr_image(py::object preview_path);
py::object crop_zone_from_image(py::object zone, py::object image);
py::object crop_zone(py::object zone, py::object preview_path);
py::object remove_small_components(py::object mask, py::object min_area);
py::object role(py::object zone);
py::object processing(py::object zone);

// Settings and preparation (binding_prepare.cpp).
py::dict normalize_settings(py::object settings);
py::object process_image(py::object image, py::object settings);

// The prepared display as the readers use it; prepared_display_dict gives its Python form.
struct PreparedDisplay {
  py::object binary;     // uint8 ndarray (rows, cols)
  double angle = 0.0;    // the normalized rotation setting, degrees
  py::list crop_size;    // [columns, rows] of binary
  py::object separator;  // the separator detection result, or None
  py::dict processing;   // the normalized settings
};
// What a preparation reads before any pixel work, in the order the Python rules check it: the
// crop's pixels (none: nullopt), the normalized settings, the image as OpenCV takes it.
struct NormalizedSettings {
  py::dict dict;
  ProcessingSettings values;
};
struct CropInputs {
  py::array array;
  NormalizedSettings settings;
  cv::Mat image;
  PixelLayout layout = PixelLayout::Gray;
};
std::optional<CropInputs> crop_inputs(py::object crop, py::object processing_settings);
// The display of a prepared crop; `binary` is the prepared image, `separator` the detection or None.
PreparedDisplay prepared_display(const CropInputs& in, cv::Mat binary, py::object separator);
std::optional<PreparedDisplay> prepare_display_of_crop(py::object crop, py::object detect_separator,
                                                       py::object processing_settings);
py::dict prepared_display_dict(const PreparedDisplay& display);
py::object prepare_display_from_crop(py::object crop, py::object detect_separator, py::object processing_settings);
py::object prepare_display_from_image(py::object zone, py::object image, py::object detect_separator,
                                      py::object processing_settings);
py::object prepare_display(py::object zone, py::object preview_path, py::object detect_separator,
                           py::object processing_settings);

// Layouts and the field readers (binding_readers.cpp).
py::object read_slots(py::object binary, py::object slots);
py::list equal_digit_slots(py::object width, py::object height, py::object count);
py::list clock_slots(py::object width, py::object height, py::object separator_x);
py::list layout_for_role(py::object role, py::object width, py::object height, py::object separator_x);
py::dict read_score_from_crop(py::object crop, py::object role, py::object processing_settings);
py::dict read_score_from_image(py::object zone, py::object image);
py::dict read_score(py::object zone, py::object preview_path);
py::dict read_period_from_crop(py::object crop, py::object processing_settings);
py::dict read_period_from_image(py::object zone, py::object image);
py::dict read_period(py::object zone, py::object preview_path);
py::dict read_single_digit_from_crop(py::object crop, py::object role, py::object processing_settings);
py::dict read_single_digit_from_image(py::object zone, py::object image);
py::dict read_single_digit(py::object zone, py::object preview_path);

// Clock separator detection (binding_separator.cpp).
py::object clock_separator_mask(py::object crop, py::object blurred_gray);
py::tuple separator_energy_map(py::object corridor, py::object blurred_gray);
py::tuple separator_groups(py::object binary, py::object gray_energy, py::object combined);
py::list separator_runs(py::object bits);
py::float_ weighted_quantile(py::object values, py::object weights, py::object quantile);
py::dict separator_topology(py::object groups, py::object corridor_width, py::object corridor_height);
py::dict separator_search_corridor(py::object crop_width, py::object crop_height);
py::dict evaluate_separator_window(py::object crop, py::object left, py::object window_width,
                                   py::object blurred_gray);
py::dict separator_spatial_prior(py::object candidate_left, py::object candidate_right, py::object hypothesis_x,
                                 py::object physical_left, py::object physical_right);
py::object separator_hypothesis(py::object evaluated, py::object hypothesis_char, py::object physical_left,
                                py::object physical_right);
py::list separator_window_views(py::object source);
py::list reflected_sheet_blurs(py::object grays, py::object sigma);
py::int_ reflect_blur_radius(py::object sigma);
py::list separator_window_blurs(py::object source);
py::object detect_clock_separator_without_regions(py::object crop, py::object angle, py::object window_blurs,
                                                  py::object per_window_blur);

// The detector in one piece when every stage it would reach is the module's own and the blur
// self-check has passed; `separator_source_supported` tells which crops it takes that way (upright or
// not, uint8 BGR). detection_result gives the module's result for the typed detection.
bool native_detection_ready(bool per_window_blur);
bool separator_source_supported(const py::array& source);
py::object detection_result(const std::optional<separator::Detection>& detection);

// The blur self-check is an object rather than a function so that it can carry its `ready` flag,
// which stays set for the life of the process once a check has passed.
struct SheetBlurSelfCheck {
  static void call(py::object self);
};

// Clock reading (binding_readers.cpp).
py::dict read_clock_from_crop(py::object crop, py::object role, py::object processing_settings);
py::dict read_clock_from_image(py::object zone, py::object image);
py::dict read_clock(py::object zone, py::object preview_path);

}  // namespace tessaryn::panelsight::binding
