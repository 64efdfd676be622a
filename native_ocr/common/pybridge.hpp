// Conversions between Python objects and the pure C++ cores, shared by both extension modules.
// Everything that knows about Python lives in the bindings and here; the cores never see a py::object.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/strided_image.hpp"

namespace tessaryn::py_bridge {

namespace py = pybind11;

// The ndarray behind `obj`: an ndarray (or subclass) as is, anything else with a `shape` through
// numpy.asarray, and the AttributeError Python would raise for an object without `shape`.
py::array as_ndarray(py::handle obj);

// A strided view of a 2-D or 3-D array of a numeric dtype; TypeError for other dtypes and
// ValueError for other dimensionalities. The array must stay alive while the view is used.
StridedImage strided_view(const py::array& array);

// The elements of `obj` converted to T as numpy.asarray(obj, T) converts them (unsafe casts
// included), in C order, copied into aligned memory this call owns. Only NumPy's C interface and
// the array's own shape and strides are used, so no Python-level helper decides what is read.
template <class T>
std::vector<T> values_of(py::handle obj, std::vector<py::ssize_t>* shape = nullptr) {
  const py::array converted = py::array_t<T, py::array::forcecast>::ensure(obj);
  if (!converted) {
    throw py::error_already_set();
  }
  const auto ndim = converted.ndim();
  std::vector<py::ssize_t> dims(converted.shape(), converted.shape() + ndim);
  std::vector<T> out(static_cast<size_t>(converted.size()));
  const auto* base = static_cast<const std::byte*>(converted.data());
  std::vector<py::ssize_t> index(static_cast<size_t>(ndim), 0);
  for (size_t n = 0; n < out.size(); ++n) {
    py::ssize_t offset = 0;
    for (py::ssize_t axis = 0; axis < ndim; ++axis) {
      offset += index[static_cast<size_t>(axis)] * converted.strides(axis);
    }
    std::memcpy(&out[n], base + offset, sizeof(T));
    for (py::ssize_t axis = ndim - 1; axis >= 0; --axis) {
      if (++index[static_cast<size_t>(axis)] < dims[static_cast<size_t>(axis)]) {
        break;
      }
      index[static_cast<size_t>(axis)] = 0;
    }
  }
  if (shape) {
    *shape = std::move(dims);
  }
  return out;
}

// The OpenCV depth (CV_8U, ...) of a dtype, or -1 when OpenCV has none for it.
int cv_depth_of(const py::dtype& dtype);

// A cv::Mat over the array's memory when its layout allows (rows may be padded, pixels and channels
// packed), otherwise a packed copy. Up to 3 dimensions; the last one is the channel count.
cv::Mat mat_of(const py::array& array);

// A new ndarray that takes over the Mat's buffer (no copy): shape (rows, cols) or (rows, cols, channels).
py::array ndarray_of(cv::Mat mat);

// Raises cv2.error (what OpenCV's own Python binding raises) when cv2 is importable, else RuntimeError.
[[noreturn]] void raise_cv_error(const cv::Exception& error);

// Whether a thread gives the GIL up for its next piece of work. Taking the GIL back is cheap while
// no other thread runs Python; while one does, it waits for that thread's switch interval (5 ms by
// default), so a read of half a millisecond would spend ten times its length waiting for one read per
// interval. A thread that found taking it back far costlier than the work it released it for keeps it
// through its work for a while, then tries again: beside a busy thread it then gets its fair share
// of the interpreter. While other threads read too, it always releases: they then run side by side,
// and one that held on would make the others wait a whole switch interval for each of their reads.
class GilReleasePolicy {
 public:
  using Clock = std::chrono::steady_clock;

  bool releases(Clock::time_point now) const { return now >= hold_until_; }

  void released(Clock::duration work, Clock::duration wait, Clock::time_point now) {
    if (wait > 2 * work) hold_until_ = now + kHoldFor;
  }

  static constexpr Clock::duration kHoldFor = std::chrono::milliseconds(100);

 private:
  Clock::time_point hold_until_{};
};

GilReleasePolicy& gil_release_policy();

// Whether a thread other than the calling one did work here within the last 50 ms; notes the call.
bool other_threads_reading();

// Runs `work` (which returns a value), with the GIL released when that pays (see GilReleasePolicy);
// a cv::Exception it throws is raised as cv2.error with the GIL held. Nothing in `work` may touch a
// Python object.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  using Clock = GilReleasePolicy::Clock;
  std::optional<cv::Exception> failure;
  std::optional<decltype(work())> result;
  GilReleasePolicy& policy = gil_release_policy();
  const bool others = other_threads_reading();
  const Clock::time_point start = Clock::now();
  auto run = [&] {
    try {
      result.emplace(work());
    } catch (const cv::Exception& error) {
      failure = error;
    }
  };
  if (others || policy.releases(start)) {
    Clock::time_point done;
    {
      py::gil_scoped_release release;
      run();
      done = Clock::now();
    }
    const Clock::time_point back = Clock::now();
    if (!others) policy.released(done - start, back - done, back);
  } else {
    run();
  }
  if (failure) {
    raise_cv_error(*failure);
  }
  return std::move(*result);
}

// Python's int(obj) clamped into +-2^62, for coordinates that are clipped to an image right after:
// far beyond any image, and a sum or difference of two such values still fits in int64.
inline constexpr int64_t kSaturation = int64_t{1} << 62;
int64_t int_saturating(py::handle obj);

// Python's int(obj) and operator.index(obj), as exact int objects of any size.
py::object int_exact(py::handle obj);
py::object index_exact(py::handle obj);

// The value of a Python int object when |value| <= bound, else nothing: small enough values take the
// int64 core, where no sum or product of a few of them can overflow and a double holds each exactly.
std::optional<int64_t> int_within(py::handle int_object, int64_t bound);

// Below 2^51, a sum or difference of two such values is still a double's exact whole number, so the
// cores' int64 and double arithmetic gives what Python's exact integers and floats give.
inline constexpr int64_t kExactInDouble = int64_t{1} << 51;

// a < b, a <= b, ... with Python's meaning (exact for integers of any size).
bool py_less(py::handle a, py::handle b);

// A new reference as a py::object; a null one means a Python error is set, which is raised.
inline py::object steal(PyObject* new_reference) {
  if (!new_reference) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(new_reference);
}

// slice(start, stop), with Python objects (ints of any size, None) as its ends.
inline py::object python_slice(py::handle start, py::handle stop) {
  return steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}

// Python's float(obj).
double to_double(py::handle obj);

// Python's bool(obj).
bool truthy(py::handle obj);

// A new, exact Python int for a finite double holding a whole number (any magnitude).
py::object int_from_whole_double(double value);

}  // namespace tessaryn::py_bridge
