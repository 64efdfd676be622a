// What native_ocr.segmark offers another extension module that reads digits in its own loop: the
// module's own read_slots (to tell whether it was replaced), a private copy of the constants as a
// call of read_slots would read them, the cell read itself, and the result dictionary of a slot.
// Published as the capsule `native_ocr.segmark._reader_api`. Every entry that takes Python objects
// runs with the GIL held and reports failure with a Python error set, never with a C++ exception,
// since the two modules do not share their exception types.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/strided_image.hpp"
#include "segmark/core/cell.hpp"
#include "segmark/core/digit.hpp"

namespace tessaryn::segmark {

// The constants and digit table of one call, owned by the reader module.
struct CallConstantsHandle;

struct ReaderApi {
  uint32_t version;
  // The module's own read_slots function object.
  PyObject* read_slots;
  // The constants of `module` as they are now, checked as read_slots checks them; null with a
  // Python error set when they cannot be used.
  CallConstantsHandle* (*take_constants)(PyObject* module);
  void (*release_constants)(CallConstantsHandle* constants);
  // One cell read; needs no GIL.
  SlotReading (*read_cell)(const StridedImage& binary, const Box& box, const CallConstantsHandle* constants);
  // The new result dictionary of `slot` for its reading; null with a Python error set.
  PyObject* (*slot_result)(PyObject* slot, const SlotReading& reading, const CallConstantsHandle* constants);
};

inline constexpr uint32_t kReaderApiVersion = 1;
inline constexpr const char* kReaderApiCapsule = "native_ocr.segmark._reader_api";

}  // namespace tessaryn::segmark
