// Python rules the panelsight binding needs beyond the shared bridge.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace tessaryn::panelsight::binding {

namespace py = pybind11;

// getattr(obj, name, None): only AttributeError means "absent"; any other error a property raises
// propagates. (py::getattr with a default swallows every error.)
inline py::object attribute_or_none(py::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value != nullptr) {
    return py::reinterpret_steal<py::object>(value);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    throw py::error_already_set();
  }
  PyErr_Clear();
  return py::none();
}

// The bytes the operating system sees for str(path), encoded as os.fsencode does, so that a name
// that only survives in Python through surrogate escapes still opens its file. A text that cannot
// be encoded names no file that could exist and gives nullopt; an error of str() itself propagates.
inline std::optional<std::string> filesystem_path_of(py::handle path) {
  py::object text = py::reinterpret_steal<py::object>(PyObject_Str(path.ptr()));
  if (!text) {
    throw py::error_already_set();
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(text.ptr());
  if (encoded == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    return std::nullopt;
  }
  py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
  return std::string(bytes);
}

// An attribute of this module as it is now, looked up on every call so that one replaced from
// Python takes effect; nullopt when the module has no such attribute.
inline std::optional<py::object> module_attribute(const char* name) {
  py::object module = py::module_::import("native_ocr.panelsight");
  PyObject* value = PyObject_GetAttrString(module.ptr(), name);
  if (value != nullptr) {
    return py::reinterpret_steal<py::object>(value);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    throw py::error_already_set();
  }
  PyErr_Clear();
  return std::nullopt;
}

// slice(start, stop) with Python ints as limits.
inline py::object python_slice(py::handle start, py::handle stop) {
  PyObject* slice = PySlice_New(start.ptr(), stop.ptr(), nullptr);
  if (slice == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(slice);
}

}  // namespace tessaryn::panelsight::binding
