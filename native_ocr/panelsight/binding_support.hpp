// Python rules the panelsight binding needs beyond the shared bridge.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The module's own functions and objects as registered, so that a call can tell whether one of its
// stages was replaced from Python. Written once while the module is made, read with the GIL held.
inline std::vector<std::pair<std::string, PyObject*>>& own_attributes() {
  static std::vector<std::pair<std::string, PyObject*>> attributes;
  return attributes;
}

inline void record_own_attributes(const py::module_& module, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    own_attributes().emplace_back(name, py::object(module.attr(name)).release().ptr());  // held for the process
  }
}

// Whether the module's attribute `name` is still the object it was made with.
inline bool is_own_attribute(const char* name) {
  const std::optional<py::object> now = module_attribute(name);
  if (!now) {
    return false;
  }
  for (const auto& [own_name, object] : own_attributes()) {
    if (own_name == name) {
      return now->ptr() == object;
    }
  }
  return false;
}

// The result of a reading that stopped before any slot was read: no value, and why.
inline py::dict short_result(const char* reason) {
  py::dict d;
  d["value"] = py::none();
  d["valid"] = false;
  d["reason"] = reason;
  return d;
}

// A clock reading in its keys' order, up to "reason"; the caller adds its "debug".
struct ClockFields {
  py::object value;
  py::list digits;
  py::object digit_items;
  py::list ocr_items;
  py::object layout;
  py::object separator_x;
  py::object separator_char;
  py::object clock_mode;
};

inline py::dict clock_result(const ClockFields& f) {
  const bool valid = !f.value.is_none();
  py::dict d;
  d["value"] = f.value;
  d["raw_value"] = f.value;
  d["digits"] = f.digits;
  d["digit_items"] = f.digit_items;
  d["ocr_items"] = f.ocr_items;
  d["geometry_items"] = f.layout;
  d["separator_x"] = f.separator_x;
  d["separator_char"] = f.separator_char;
  d["clock_mode"] = f.clock_mode;
  d["valid"] = valid;
  d["stable"] = true;
  d["accepted"] = valid;
  d["reason"] = valid ? "raw" : "unrecognized";
  return d;
}

}  // namespace tessaryn::panelsight::binding
