// A read-only view of an array of any element type and any strides (negative ones included), so
// that a core can read the caller's pixels in place without first copying them into a cv::Mat.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaryn {

enum class ElementType { Bool, I8, U8, I16, U16, I32, U32, I64, U64, F16, F32, F64, F128 };

struct StridedImage {
  const std::byte* data = nullptr;  // element [0, 0, 0]
  ElementType type = ElementType::U8;
  int64_t rows = 0;
  int64_t cols = 0;
  int64_t channels = 1;  // 1 for a 2-D array
  int64_t row_stride = 0;  // in bytes, may be negative
  int64_t col_stride = 0;
  int64_t channel_stride = 0;
  bool three_dimensional = false;
};

}  // namespace tessaryn
