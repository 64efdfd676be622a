// JPEG previews of the newest frame. Both receivers convert their frame into one 24-bit B, G, R
// layout and hand it to the platform's encoder at quality 0.75; they differ in the pixels they take,
// the size they accept and what happens to the file afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaryn::receivers {

inline constexpr float kPreviewJpegQuality = 0.75f;

// Rows of the encoder's buffer start on 4-byte boundaries.
constexpr std::int64_t bgr_row_bytes(std::int64_t width) { return (width * 3 + 3) / 4 * 4; }

// The zero-filled B, G, R buffer built from packed R, G, B rows (wancapture's scaler output).
std::vector<std::uint8_t> bgr_rows_from_rgb(const std::uint8_t* rgb, int width, int height, int row_stride);
// The same from B, G, R, X pixels (lancapture's received frames); the fourth byte is ignored.
std::vector<std::uint8_t> bgr_rows_from_bgrx(const std::uint8_t* bgrx, int width, int height, int line_stride);

// wancapture's temporary preview name keeps the image extension, because the encoder may pick the
// container from it: "app/static/srt_preview.jpg" is written through "app/static/srt_preview.tmp.jpg".
std::string preview_temp_path(const std::string& path);

// Encodes packed R, G, B rows (at least 2x2) into `preview_temp_path(preview_path)` and moves it over
// the preview. Any failure removes the temporary file and returns false.
bool encode_preview_jpeg_rgb(const std::uint8_t* rgb, int width, int height, int row_stride,
                             const std::string& preview_path);

// Encodes B, G, R, X pixels (at least 1x1) into `output_path`, whose name is UTF-8, for the caller to
// rename. `reportable` tells a failure of the encoding or of its file (with the failing call's code)
// from input that was refused or an encoder that could not be had, which go unreported.
struct PreviewEncoding {
  bool ok = false;
  bool reportable = false;
  unsigned long code = 0;
};
PreviewEncoding encode_preview_jpeg_bgrx(int width, int height, const std::uint8_t* pixels, int line_stride,
                                         int quality_percent, const std::string& output_path);

}  // namespace tessaryn::receivers
