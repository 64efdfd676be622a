// Stands in for wancapture's network side (FFmpeg for Windows is not at hand), so that the program's
// own command line and secret intake run unchanged and are followed by one preview through WIC.
// It tells what it received without ever showing the passphrase: its length and the key length.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "receivers/common/jpeg_encoder.hpp"
#include "receivers/common/platform.hpp"
#include "receivers/wancapture/listener.hpp"

namespace tessaryn::wancapture {

int run_receiver(const Settings& settings, Passphrase& passphrase) {
  std::printf("passphrase bytes=%zu key_length=%d\n", passphrase.view().size(),
              static_cast<int>(effective_key_length(settings, passphrase)));
  passphrase.wipe();

  receivers::platform::ProcessRuntime runtime;
  // A 64 x 48 frame in packed R, G, B rows with a padded stride: red grows to the right, green
  // downwards, blue is constant, so that a decoder can tell the channel order.
  constexpr int kWidth = 64, kHeight = 48, kStride = kWidth * 3 + 5;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kStride) * kHeight, 0);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* pixel = &rgb[static_cast<std::size_t>(y) * kStride + static_cast<std::size_t>(x) * 3];
      pixel[0] = static_cast<std::uint8_t>(x * 4);
      pixel[1] = static_cast<std::uint8_t>(y * 5);
      pixel[2] = 200;
    }
  }
  const bool ok = receivers::encode_preview_jpeg_rgb(rgb.data(), kWidth, kHeight, kStride, settings.preview_path);
  std::printf("preview %s\n", ok ? "written" : "failed");
  std::fflush(stdout);
  return ok ? 0 : 1;
}

}  // namespace tessaryn::wancapture
