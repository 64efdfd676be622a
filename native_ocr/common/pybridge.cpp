#include "common/pybridge.hpp"

#include <mutex>

#include <cmath>
#include <cstring>
#include <cstddef>
#include <limits>
#include <utility>

namespace tessaryn::py_bridge {

namespace {

// The array itself, or a copy in this machine's byte order when its elements are stored the other
// way round; every reader below takes values straight from memory.
py::array in_native_order(py::array array) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte order check assumes little endian");
  // '>' is the only non-native order on a little-endian machine ('=', '<' and '|' are native).
  if (array.dtype().byteorder() != '>') {
    return array;
  }
  const py::object native = array.dtype().attr("newbyteorder")("=");
  return array.attr("astype")(native).cast<py::array>();
}

}  // namespace

py::array as_ndarray(py::handle obj) {
  if (py::isinstance<py::array>(obj)) {
    return in_native_order(py::reinterpret_borrow<py::array>(obj));
  }
  if (!py::hasattr(obj, "shape")) {
    // What `obj.shape` raises in Python.
    throw py::attribute_error("'" + std::string(py::str(obj.get_type().attr("__name__"))) +
                              "' object has no attribute 'shape'");
  }
  return in_native_order(py::module_::import("numpy").attr("asarray")(obj).cast<py::array>());
}

namespace {

bool element_type_of(const py::dtype& dtype, ElementType& out) {
  const char kind = dtype.kind();
  const auto size = dtype.itemsize();
  if (dtype.byteorder() == '>') {
    return false;  // as_ndarray gives every array in native order; others are not read
  }
  switch (kind) {
    case 'b':
      out = ElementType::Bool;
      return size == 1;
    case 'i':
      switch (size) {
        case 1: out = ElementType::I8; return true;
        case 2: out = ElementType::I16; return true;
        case 4: out = ElementType::I32; return true;
        case 8: out = ElementType::I64; return true;
        default: return false;
      }
    case 'u':
      switch (size) {
        case 1: out = ElementType::U8; return true;
        case 2: out = ElementType::U16; return true;
        case 4: out = ElementType::U32; return true;
        case 8: out = ElementType::U64; return true;
        default: return false;
      }
    case 'f':
      switch (size) {
        case 2: out = ElementType::F16; return true;
        case 4: out = ElementType::F32; return true;
        case 8: out = ElementType::F64; return true;
        default:
          if (size == static_cast<py::ssize_t>(sizeof(long double))) {
            out = ElementType::F128;
            return true;
          }
          return false;
      }
    default:
      return false;
  }
}

}  // namespace

StridedImage strided_view(const py::array& array) {
  StridedImage view;
  if (!element_type_of(array.dtype(), view.type)) {
    throw py::type_error("expected an array of a boolean, integer or floating dtype, got dtype " +
                         std::string(py::str(array.dtype())));
  }
  const auto ndim = array.ndim();
  if (ndim != 2 && ndim != 3) {
    throw py::value_error("expected a 2-D or 3-D array, got " + std::to_string(ndim) + "-D");
  }
  view.data = static_cast<const std::byte*>(array.data());
  view.rows = array.shape(0);
  view.cols = array.shape(1);
  view.row_stride = array.strides(0);
  view.col_stride = array.strides(1);
  view.three_dimensional = ndim == 3;
  if (ndim == 3) {
    view.channels = array.shape(2);
    view.channel_stride = array.strides(2);
  }
  return view;
}

int cv_depth_of(const py::dtype& dtype) {
  ElementType type;
  if (!element_type_of(dtype, type)) {
    return -1;
  }
  switch (type) {
    case ElementType::U8: return CV_8U;
    case ElementType::I8: return CV_8S;
    case ElementType::U16: return CV_16U;
    case ElementType::I16: return CV_16S;
    case ElementType::I32: return CV_32S;
    case ElementType::F32: return CV_32F;
    case ElementType::F64: return CV_64F;
    default: return -1;
  }
}

cv::Mat mat_of(const py::array& array) {
  const int depth = cv_depth_of(array.dtype());
  if (depth < 0) {
    throw py::type_error("array dtype " + std::string(py::str(array.dtype())) +
                         " has no OpenCV equivalent");
  }
  const auto ndim = array.ndim();
  if (ndim < 1 || ndim > 3) {
    throw py::value_error("expected a 1-D, 2-D or 3-D array, got " + std::to_string(ndim) + "-D");
  }
  for (py::ssize_t axis = 0; axis < ndim; ++axis) {
    if (array.shape(axis) > std::numeric_limits<int>::max()) {
      throw py::value_error("the array is too large for OpenCV");
    }
  }
  const int rows = ndim == 1 ? 1 : static_cast<int>(array.shape(0));
  const int cols = static_cast<int>(ndim == 1 ? array.shape(0) : array.shape(1));
  const int channels = ndim == 3 ? static_cast<int>(array.shape(2)) : 1;
  if (channels < 1 || channels > CV_CN_MAX) {
    throw py::value_error("unsupported channel count " + std::to_string(channels));
  }
  const int type = CV_MAKETYPE(depth, channels);
  const auto item = array.itemsize();
  const py::ssize_t pixel = item * channels;
  const py::ssize_t row_stride = ndim == 1 ? 0 : array.strides(0);
  const py::ssize_t col_stride = ndim == 1 ? array.strides(0) : array.strides(1);
  const py::ssize_t channel_stride = ndim == 3 ? array.strides(2) : item;
  if (rows == 0 || cols == 0) {
    return cv::Mat(rows, cols, type);
  }
  if (col_stride == pixel && channel_stride == item && row_stride >= pixel * cols) {
    return cv::Mat(rows, cols, type, const_cast<void*>(array.data()), static_cast<size_t>(row_stride));
  }
  // Negative, zero or interleaved strides: a packed copy, made here from the array's own shape and
  // strides so that nothing outside the array is read.
  cv::Mat packed(rows, cols, type);
  const auto* base = static_cast<const std::byte*>(array.data());
  for (int r = 0; r < rows; ++r) {
    auto* out = reinterpret_cast<std::byte*>(packed.ptr(r));
    for (int c = 0; c < cols; ++c) {
      for (int k = 0; k < channels; ++k) {
        const std::byte* in = base + r * row_stride + c * col_stride + k * channel_stride;
        std::memcpy(out, in, static_cast<size_t>(item));
        out += item;
      }
    }
  }
  return packed;
}

py::array ndarray_of(cv::Mat mat) {
  std::vector<py::ssize_t> shape{mat.rows, mat.cols};
  std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(mat.step[0]),
                                   static_cast<py::ssize_t>(mat.elemSize())};
  if (mat.channels() > 1) {
    shape.push_back(mat.channels());
    strides.push_back(static_cast<py::ssize_t>(mat.elemSize1()));
  }
  py::dtype dtype;
  switch (mat.depth()) {
    case CV_8U: dtype = py::dtype::of<uint8_t>(); break;
    case CV_8S: dtype = py::dtype::of<int8_t>(); break;
    case CV_16U: dtype = py::dtype::of<uint16_t>(); break;
    case CV_16S: dtype = py::dtype::of<int16_t>(); break;
    case CV_32S: dtype = py::dtype::of<int32_t>(); break;
    case CV_32F: dtype = py::dtype::of<float>(); break;
    case CV_64F: dtype = py::dtype::of<double>(); break;
    default: throw py::type_error("unsupported Mat depth");
  }
  if (mat.empty()) {
    return py::array(dtype, shape);
  }
  auto* owner = new cv::Mat(std::move(mat));
  py::capsule keep(owner, [](void* p) { delete static_cast<cv::Mat*>(p); });
  return py::array(dtype, shape, strides, owner->data, keep);
}

void raise_cv_error(const cv::Exception& error) {
  py::object type;
  try {
    type = py::module_::import("cv2").attr("error");
  } catch (py::error_already_set&) {
    type = py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
  }
  PyErr_SetString(type.ptr(), error.what());
  throw py::error_already_set();
}

GilReleasePolicy& gil_release_policy() {
  thread_local GilReleasePolicy policy;
  return policy;
}

namespace {

// The last thread to do work here, when it last did, and when a thread other than it last did.
struct RecentReaders {
  std::mutex lock;
  const void* last_thread = nullptr;
  GilReleasePolicy::Clock::time_point last_time{};
  GilReleasePolicy::Clock::time_point other_time{};
};

RecentReaders& recent_readers() {
  static RecentReaders readers;
  return readers;
}

}  // namespace

bool other_threads_reading() {
  constexpr auto kRecent = std::chrono::milliseconds(50);
  thread_local const char identity = 0;
  const auto now = GilReleasePolicy::Clock::now();
  RecentReaders& readers = recent_readers();
  const std::lock_guard<std::mutex> guard(readers.lock);
  if (readers.last_thread != &identity) {
    readers.other_time = readers.last_time;
    readers.last_thread = &identity;
  }
  readers.last_time = now;
  return readers.other_time != GilReleasePolicy::Clock::time_point{} && now - readers.other_time < kRecent;
}

int64_t int_saturating(py::handle obj) {
  py::object value = py::reinterpret_steal<py::object>(PyNumber_Long(obj.ptr()));
  if (!value) {
    throw py::error_already_set();
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow > 0 || result > kSaturation) {
    return kSaturation;
  }
  if (overflow < 0 || result < -kSaturation) {
    return -kSaturation;
  }
  return result;
}

py::object int_exact(py::handle obj) { return steal(PyNumber_Long(obj.ptr())); }

py::object index_exact(py::handle obj) { return steal(PyNumber_Index(obj.ptr())); }

std::optional<int64_t> int_within(py::handle int_object, int64_t bound) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(int_object.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow != 0 || value > bound || value < -bound) {
    return std::nullopt;
  }
  return value;
}

bool py_less(py::handle a, py::handle b) {
  const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
  if (result < 0) {
    throw py::error_already_set();
  }
  return result == 1;
}

double to_double(py::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return value;
}

bool truthy(py::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) {
    throw py::error_already_set();
  }
  return result != 0;
}

py::object int_from_whole_double(double value) {
  PyObject* result = PyLong_FromDouble(value);
  if (!result) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace tessaryn::py_bridge
