#include "receivers/common/jpeg_encoder.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

std::vector<std::uint8_t> bgr_rows_from_rgb(const std::uint8_t* rgb, int width, int height, int row_stride) {
  const auto row_bytes = static_cast<std::size_t>(bgr_row_bytes(width));
  std::vector<std::uint8_t> bgr(row_bytes * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* src = rgb + static_cast<std::size_t>(y) * static_cast<std::size_t>(row_stride);
    std::uint8_t* dst = bgr.data() + static_cast<std::size_t>(y) * row_bytes;
    for (int x = 0; x < width; ++x, src += 3, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
    }
  }
  return bgr;
}

std::vector<std::uint8_t> bgr_rows_from_bgrx(const std::uint8_t* bgrx, int width, int height, int line_stride) {
  const auto row_bytes = static_cast<std::size_t>(bgr_row_bytes(width));
  std::vector<std::uint8_t> bgr(row_bytes * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* src = bgrx + static_cast<std::size_t>(y) * static_cast<std::size_t>(line_stride);
    std::uint8_t* dst = bgr.data() + static_cast<std::size_t>(y) * row_bytes;
    for (int x = 0; x < width; ++x, src += 4, dst += 3) std::memcpy(dst, src, 3);
  }
  return bgr;
}

std::string preview_temp_path(const std::string& path) {
  const auto separator = path.find_last_of("/\\");
  const auto dot = path.find_last_of('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    return path.substr(0, dot) + ".tmp" + path.substr(dot);
  }
  return path + ".tmp";
}

bool encode_preview_jpeg_rgb(const std::uint8_t* rgb, int width, int height, int row_stride,
                             const std::string& preview_path) {
  if (rgb == nullptr || width < 2 || height < 2 || static_cast<std::int64_t>(row_stride) < 3LL * width) {
    return false;
  }
  const std::vector<std::uint8_t> bgr = bgr_rows_from_rgb(rgb, width, height, row_stride);
  const std::string temp = preview_temp_path(preview_path);
  const platform::JpegResult result = platform::encode_bgr24_jpeg_file(
      bgr.data(), width, height, static_cast<int>(bgr_row_bytes(width)), kPreviewJpegQuality, temp);
  if (result.encoder_missing) return false;
  if (!result.ok) {
    platform::delete_file(temp);
    return false;
  }
  if (!replace_file_with_retry(temp, preview_path, Receiver::wancapture)) {
    platform::delete_file(temp);
    return false;
  }
  return true;
}

bool encode_preview_jpeg_bgrx(int width, int height, const std::uint8_t* pixels, int line_stride,
                              int quality_percent, const std::string& output_path) {
  static std::atomic<int> reported_failures{0};
  if (pixels == nullptr || width < 1 || height < 1 || static_cast<std::int64_t>(line_stride) < 4LL * width) {
    return false;
  }
  const std::vector<std::uint8_t> bgr = bgr_rows_from_bgrx(pixels, width, height, line_stride);
  const platform::JpegResult result =
      platform::encode_bgr24_jpeg_file(bgr.data(), width, height, static_cast<int>(bgr_row_bytes(width)),
                                       static_cast<float>(quality_percent) / 100.0f, output_path,
                                       platform::PathText::utf8);
  if (result.encoder_missing) return false;
  if (!result.ok) {
    if (reported_failures.fetch_add(1) < 3) {
      std::fprintf(stderr, "JPEG preview failed: %dx%d stride=%d HRESULT=0x%08lX\n", width, height, line_stride,
                   result.code);
    }
    return false;
  }
  return true;
}

}  // namespace tessaryn::receivers
