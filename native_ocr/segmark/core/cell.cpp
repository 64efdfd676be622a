#include "segmark/core/cell.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "common/numeric.hpp"

namespace tessaryn::segmark {

Box clip_box(int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t width, int64_t height) {
  auto clamp = [](int64_t v, int64_t size) { return std::max<int64_t>(0, std::min<int64_t>(v, size - 1)); };
  x1 = clamp(x1, width);
  x2 = clamp(x2, width);
  y1 = clamp(y1, height);
  y2 = clamp(y2, height);
  return {std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

namespace {

// Half precision has no native C++ type; only the sign of the value matters here, so the bits
// decide: positive, not zero and not NaN.
bool half_positive(uint16_t bits) {
  const bool negative = (bits & 0x8000u) != 0;
  const uint16_t magnitude = bits & 0x7fffu;
  return !negative && magnitude != 0 && magnitude <= 0x7c00u;
}

template <typename T>
bool positive_at(const std::byte* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));  // the caller's array need not be aligned
  return value > T(0);
}

bool positive(ElementType type, const std::byte* p) {
  switch (type) {
    case ElementType::Bool: return *reinterpret_cast<const uint8_t*>(p) != 0;
    case ElementType::I8: return positive_at<int8_t>(p);
    case ElementType::U8: return *reinterpret_cast<const uint8_t*>(p) != 0;
    case ElementType::I16: return positive_at<int16_t>(p);
    case ElementType::U16: return positive_at<uint16_t>(p);
    case ElementType::I32: return positive_at<int32_t>(p);
    case ElementType::U32: return positive_at<uint32_t>(p);
    case ElementType::I64: return positive_at<int64_t>(p);
    case ElementType::U64: return positive_at<uint64_t>(p);
    case ElementType::F16: {
      uint16_t bits;
      std::memcpy(&bits, p, sizeof bits);
      return half_positive(bits);
    }
    case ElementType::F32: return positive_at<float>(p);
    case ElementType::F64: return positive_at<double>(p);
    case ElementType::F128: return positive_at<long double>(p);
  }
  return false;
}

bool is_floating(ElementType type) {
  return type == ElementType::F16 || type == ElementType::F32 || type == ElementType::F64 ||
         type == ElementType::F128;
}

bool is_nan(ElementType type, const std::byte* p) {
  switch (type) {
    case ElementType::F16: {
      uint16_t bits;
      std::memcpy(&bits, p, sizeof bits);
      return (bits & 0x7fffu) > 0x7c00u;
    }
    case ElementType::F32: { float v; std::memcpy(&v, p, sizeof v); return v != v; }
    case ElementType::F64: { double v; std::memcpy(&v, p, sizeof v); return v != v; }
    case ElementType::F128: { long double v; std::memcpy(&v, p, sizeof v); return v != v; }
    default: return false;
  }
}

// Whether the maximum over the channels is above zero: some channel is, and (for floating data)
// no channel is NaN, since a NaN makes the maximum NaN.
bool channel_max_positive(const StridedImage& image, const std::byte* pixel) {
  bool any_positive = false;
  const bool floating = is_floating(image.type);
  for (int64_t ch = 0; ch < image.channels; ++ch) {
    const std::byte* p = pixel + ch * image.channel_stride;
    if (floating && is_nan(image.type, p)) {
      return false;
    }
    if (!any_positive && positive(image.type, p)) {
      any_positive = true;
      if (!floating) {
        return true;
      }
    }
  }
  return any_positive;
}

}  // namespace

cv::Mat as01(const StridedImage& image, const Box& box) {
  const int64_t rows64 = box.y2 - box.y1 + 1;
  const int64_t cols64 = box.x2 - box.x1 + 1;
  constexpr int64_t kMax = std::numeric_limits<int>::max();
  if (rows64 > kMax || cols64 > kMax || rows64 * cols64 > kMax) {
    // A cell this large cannot be held (a broadcast view can claim it without owning it).
    throw std::bad_alloc();
  }
  const int rows = static_cast<int>(rows64);
  const int cols = static_cast<int>(cols64);
  cv::Mat out(rows, cols, CV_8U);
  const bool plain_u8 = image.type == ElementType::U8 && !image.three_dimensional;
  for (int r = 0; r < rows; ++r) {
    const std::byte* row = image.data + (box.y1 + r) * image.row_stride + box.x1 * image.col_stride;
    uint8_t* dst = out.ptr<uint8_t>(r);
    if (plain_u8 && image.col_stride == 1) {
      const auto* src = reinterpret_cast<const uint8_t*>(row);
      for (int c = 0; c < cols; ++c) {
        dst[c] = src[c] != 0;  // the common prepared image: a loop the compiler vectorises
      }
      continue;
    }
    if (plain_u8) {
      for (int c = 0; c < cols; ++c) {
        dst[c] = *reinterpret_cast<const uint8_t*>(row + c * image.col_stride) != 0;
      }
      continue;
    }
    for (int c = 0; c < cols; ++c) {
      dst[c] = channel_max_positive(image, row + c * image.col_stride) ? 1 : 0;
    }
  }
  return out;
}

cv::Mat as01(const StridedImage& image) {
  if (image.rows == 0 || image.cols == 0) {
    return cv::Mat(static_cast<int>(image.rows), static_cast<int>(image.cols), CV_8U);
  }
  return as01(image, Box{0, 0, image.cols - 1, image.rows - 1});
}

std::optional<Box> tight_bounds(const cv::Mat& mask) {
  Box box{mask.cols, mask.rows, -1, -1};
  for (int r = 0; r < mask.rows; ++r) {
    const uint8_t* row = mask.ptr<uint8_t>(r);
    int first = 0;
    while (first < mask.cols && row[first] == 0) {
      ++first;
    }
    if (first == mask.cols) {
      continue;
    }
    int last = mask.cols - 1;
    while (row[last] == 0) {
      --last;
    }
    box.x1 = std::min<int64_t>(box.x1, first);
    box.x2 = std::max<int64_t>(box.x2, last);
    box.y1 = std::min<int64_t>(box.y1, r);
    box.y2 = r;
  }
  if (box.x2 < 0) {
    return std::nullopt;
  }
  return box;
}

double rectangle_fill(const cv::Mat& frame, double x1, double y1, double x2, double y2) {
  const double width = frame.cols;
  const double height = frame.rows;
  auto bound = [](double value, double size) {
    const double v = std::min(numeric::round_half_even(value), size);
    return v > 0.0 ? v : 0.0;  // also maps NaN to 0 rather than to an undefined integer
  };
  const int ix1 = static_cast<int>(bound(x1, width));
  const int ix2 = static_cast<int>(bound(x2, width));
  const int iy1 = static_cast<int>(bound(y1, height));
  const int iy2 = static_cast<int>(bound(y2, height));
  if (ix1 >= ix2 || iy1 >= iy2) {
    return 0.0;
  }
  int64_t ink = 0;
  for (int r = iy1; r < iy2; ++r) {
    const uint8_t* row = frame.ptr<uint8_t>(r);
    for (int c = ix1; c < ix2; ++c) {
      ink += row[c] != 0;
    }
  }
  // The mean of whole counts in double precision is exact up to the final division.
  return static_cast<double>(ink) / (static_cast<double>(ix2 - ix1) * static_cast<double>(iy2 - iy1));
}

}  // namespace tessaryn::segmark
