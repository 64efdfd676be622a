// The digit reader's core on its own, without the Python layer: one 40 x 64 digit cell, and the
// four digit cells of a clock, from a binary image drawn here.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "segmark/core/digit.hpp"

using namespace tessaryn::segmark;

namespace {

// An "8" in a cell of the given size: the heaviest digit for the probes and the frame search.
void draw_eight(cv::Mat& image, int x0, int width, int height) {
  const int t = std::max(2, width / 6);
  const int mx = width / 8, my = height / 8;
  const cv::Rect bars[] = {
      {x0 + mx, my, width - 2 * mx, t},
      {x0 + mx, height / 2 - t / 2, width - 2 * mx, t},
      {x0 + mx, height - my - t, width - 2 * mx, t},
      {x0 + mx, my, t, height - 2 * my},
      {x0 + width - mx - t, my, t, height - 2 * my},
  };
  for (const cv::Rect& r : bars) {
    image(r).setTo(255);
  }
}


Constants standard() {
  Constants k;
  k.patterns = standard_patterns();
  return k;
}

void BM_DigitCell40x64(benchmark::State& state) {
  cv::Mat image = cv::Mat::zeros(64, 40, CV_8U);
  draw_eight(image, 0, 40, 64);
  const auto view = view_of(image);
  const Constants k = standard();
  for (auto _ : state) {
    benchmark::DoNotOptimize(read_digit_cell(view, {0, 0, 39, 63}, k));
  }
}
BENCHMARK(BM_DigitCell40x64);

void BM_ClockFourDigits(benchmark::State& state) {
  cv::Mat image = cv::Mat::zeros(70, 200, CV_8U);
  const int boxes[4][2] = {{0, 46}, {47, 94}, {106, 152}, {153, 199}};
  for (const auto& b : boxes) {
    draw_eight(image, b[0], b[1] - b[0] + 1, 70);
  }
  const auto view = view_of(image);
  const Constants k = standard();
  for (auto _ : state) {
    for (const auto& b : boxes) {
      benchmark::DoNotOptimize(read_digit_cell(view, {b[0], 0, b[1], 69}, k));
    }
  }
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_ClockFourDigits);

}  // namespace

BENCHMARK_MAIN();
