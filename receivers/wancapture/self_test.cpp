#include "receivers/wancapture/self_test.hpp"

#include <cstdio>
#include <string>

#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/secret.hpp"
#include "receivers/wancapture/sizing.hpp"

namespace tessaryn::wancapture {

int run_self_test() {
  struct SizingCase {
    FrameSize input, expected;
  };
  static constexpr SizingCase kSizing[] = {
      {{3840, 2160}, {1920, 1080}}, {{2160, 3840}, {1080, 1920}}, {{1920, 1080}, {1920, 1080}},
      {{1280, 720}, {1280, 720}},   {{1919, 1080}, {1919, 1080}}, {{1921, 1080}, {1920, 1079}},
      {{100, 100}, {100, 100}},
  };
  int failures = 0;
  for (const auto& c : kSizing) {
    const FrameSize got = preview_size(c.input.width, c.input.height).value_or(FrameSize{0, 0});
    if (!(got == c.expected)) {
      std::fprintf(stderr, "scale %dx%d -> %dx%d, expected %dx%d\n", c.input.width, c.input.height, got.width,
                   got.height, c.expected.width, c.expected.height);
      ++failures;
    }
  }
  if (!passphrase_length_acceptable(0) || !passphrase_length_acceptable(10) || !passphrase_length_acceptable(80) ||
      passphrase_length_acceptable(9) || passphrase_length_acceptable(81)) {
    std::fputs("passphrase bounds were wrong\n", stderr);
    ++failures;
  }
  if (!stream_id_acceptable(std::string(512, 'a')) || stream_id_acceptable(std::string(513, 'a'))) {
    std::fputs("stream id bounds were wrong\n", stderr);
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace tessaryn::wancapture
