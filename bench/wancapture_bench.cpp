// From a decoded frame to the renamed preview file and its status document: the scaling, JPEG
// encoding and atomic replacement a publication costs, per source size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "receivers/common/clock.hpp"
#include "receivers/wancapture/decoder.hpp"
#include "receivers/wancapture/sizing.hpp"
#include "receivers/wancapture/status.hpp"

extern "C" {
#include <libavutil/frame.h>
}

namespace fs = std::filesystem;
using namespace tessaryn::wancapture;

namespace {

// A frame with the structure of camera footage (gradients and edges), so that the JPEG encoder does
// comparable work; a flat frame would encode unrealistically fast.
AVFrame* test_frame(int width, int height) {
  AVFrame* frame = av_frame_alloc();
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < width; ++x) row[x] = static_cast<std::uint8_t>((x * 7 + y * 3) ^ ((x / 37 + y / 23) * 29));
  }
  for (int plane = 1; plane < 3; ++plane) {
    for (int y = 0; y < (height + 1) / 2; ++y) {
      std::uint8_t* row = frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane];
      for (int x = 0; x < (width + 1) / 2; ++x) row[x] = static_cast<std::uint8_t>(128 + ((x + plane * y) % 64) - 32);
    }
  }
  return frame;
}

void BM_PublishPreview(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const fs::path dir = fs::temp_directory_path() / ("wancapture-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  PreviewWriter writer((dir / "srt_preview.jpg").string());
  StatusPublisher status((dir / "srt_status.json").string(), 9000);
  AVFrame* frame = test_frame(width, height);
  const FrameSize target = *preview_size(width, height);
  for (auto _ : state) {
    if (!writer.publish(frame, target)) state.SkipWithError("publication failed");
    StatusRecord& s = status.record();
    s.state = LinkState::connected;
    s.width = target.width;
    s.height = target.height;
    s.has_last_frame = true;
    s.last_frame_time = tessaryn::receivers::wall_unix_seconds();
    status.publish();
  }
  state.counters["preview_bytes"] = static_cast<double>(fs::file_size(dir / "srt_preview.jpg"));
  av_frame_free(&frame);
  fs::remove_all(dir);
}
BENCHMARK(BM_PublishPreview)->Args({1280, 720})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
