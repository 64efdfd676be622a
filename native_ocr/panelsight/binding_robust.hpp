// The robust reading profile in Python terms: entered from the readers and the prepared display
// only when a zone's processing settings ask for it with "profile": "robust".
#pragma once

#include <pybind11/pybind11.h>

namespace tessaryn::panelsight::binding::robust_path {

namespace py = pybind11;

// True when the settings mapping holds "profile" equal to "robust"; any other value, a missing key
// or no mapping at all keeps the specified path.
bool requested(py::handle processing_settings);

py::dict read_clock(py::object crop, py::object role, py::object processing_settings);
py::dict read_score(py::object crop, py::object role, py::object processing_settings);
py::dict read_period(py::object crop, py::object processing_settings);
py::dict read_single_digit(py::object crop, py::object role, py::object processing_settings);
py::object prepare_display(py::object crop, py::object detect_separator, py::object processing_settings);

}  // namespace tessaryn::panelsight::binding::robust_path
