#include "receivers/common/jpeg_encoder.hpp"

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

namespace {

// Encodes into memory and writes the file afresh; the result tells which step failed.
PreviewEncoding encode_to_file(const std::vector<std::uint8_t>& bgr, int width, int height, float quality,
                               const std::string& path, platform::PathText path_text) {
  PreviewEncoding outcome;
  std::vector<std::uint8_t> jpeg;
  const platform::JpegResult encoded =
      platform::encode_bgr24_jpeg(bgr.data(), width, height, static_cast<int>(bgr_row_bytes(width)), quality, jpeg);
  if (encoded.encoder_missing) return outcome;
  if (!encoded.ok) {
    outcome.reportable = true;
    outcome.code = encoded.code;
    return outcome;
  }
  const platform::FileWrite written = platform::write_new_file(path, jpeg.data(), jpeg.size(), false, path_text);
  if (written.failed_at == platform::WriteStage::path) return outcome;
  if (!written.ok()) {
    outcome.reportable = true;
    outcome.code = platform::file_failure_code(written.error_number);
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace

bool encode_preview_jpeg_rgb(const std::uint8_t* rgb, int width, int height, int row_stride,
                             const std::string& preview_path) {
  if (rgb == nullptr || width < 2 || height < 2 || static_cast<std::int64_t>(row_stride) < 3LL * width) {
    return false;
  }
  const std::vector<std::uint8_t> bgr = bgr_rows_from_rgb(rgb, width, height, row_stride);
  const std::string temp = preview_temp_path(preview_path);
  const PreviewEncoding encoded = encode_to_file(bgr, width, height, kPreviewJpegQuality, temp, platform::PathText::ansi);
  if (!encoded.ok) {
    if (encoded.reportable) platform::delete_file(temp);
    return false;
  }
  if (!replace_file_with_retry(temp, preview_path)) {
    platform::delete_file(temp);
    return false;
  }
  return true;
}

PreviewEncoding encode_preview_jpeg_bgrx(int width, int height, const std::uint8_t* pixels, int line_stride,
                                         int quality_percent, const std::string& output_path) {
  if (pixels == nullptr || width < 1 || height < 1 || static_cast<std::int64_t>(line_stride) < 4LL * width) {
    return {};
  }
  const std::vector<std::uint8_t> bgr = bgr_rows_from_bgrx(pixels, width, height, line_stride);
  return encode_to_file(bgr, width, height, static_cast<float>(quality_percent) / 100.0f, output_path,
                        platform::PathText::utf8);
}

}  // namespace tessaryn::receivers
