// The size of a published preview: at most 1920 pixels on the longer side, and no frame of absurd
// size at all (below 2 pixels, above 8192, or more pixels than an 8192x4320 frame).
#pragma once

#include <optional>

namespace tessaryn::wancapture {

inline constexpr int kMinFrameSide = 2;
inline constexpr int kMaxFrameSide = 8192;
inline constexpr long long kMaxFramePixels = 35389440;  // 8192 x 4320
inline constexpr int kMaxPreviewSide = 1920;

struct FrameSize {
  int width = 0;
  int height = 0;
  bool operator==(const FrameSize&) const = default;
};

// The bounds a source frame (and a stream's announced size) must keep.
bool frame_size_supported(int width, int height);

// The preview's size for a decoded frame, or nothing when the frame is refused.
std::optional<FrameSize> preview_size(int width, int height);

}  // namespace tessaryn::wancapture
