#include "receivers/wancapture/sizing.hpp"

#include <algorithm>

namespace tessaryn::wancapture {

bool frame_size_supported(int width, int height) {
  return width >= kMinFrameSide && width <= kMaxFrameSide && height >= kMinFrameSide && height <= kMaxFrameSide &&
         static_cast<long long>(width) * height <= kMaxFramePixels;
}

std::optional<FrameSize> preview_size(int width, int height) {
  if (!frame_size_supported(width, height)) return std::nullopt;
  const int longer = std::max(width, height);
  if (longer <= kMaxPreviewSide) return FrameSize{width, height};
  // Truncating division keeps the aspect ratio up to one pixel; a sliver is widened to 2 pixels.
  const int target_width = std::max(static_cast<int>(static_cast<long long>(width) * kMaxPreviewSide / longer), 2);
  const int target_height = std::max(static_cast<int>(static_cast<long long>(height) * kMaxPreviewSide / longer), 2);
  if (target_width > kMaxFrameSide || target_height > kMaxFrameSide ||
      static_cast<long long>(target_width) * target_height > kMaxFramePixels) {
    return std::nullopt;
  }
  return FrameSize{target_width, target_height};
}

}  // namespace tessaryn::wancapture
