// Preparation of a typical score crop (about 120x70) with the default settings and with every step on.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include "panelsight/core/prepare.hpp"

namespace tp = tessaryn::panelsight;

static cv::Mat typical_crop() {
  cv::Mat crop(69, 120, CV_8UC3);
  cv::randu(crop, 0, 256);
  return crop;
}

static void BM_ProcessImageDefaults(benchmark::State& state) {
  const cv::Mat crop = typical_crop();
  const tp::ProcessingSettings settings;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tp::process_image(crop, tp::PixelLayout::Colour, settings));
  }
}
BENCHMARK(BM_ProcessImageDefaults);

static void BM_ProcessImageEveryStep(benchmark::State& state) {
  const cv::Mat crop = typical_crop();
  tp::ProcessingSettings settings;
  settings.contrast = 1.4;
  settings.gamma = 0.8;
  settings.rotation = 3.0;
  settings.blur = 3;
  settings.invert = true;
  settings.morphology = tp::Morphology::Close;
  settings.morph_size = 3;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tp::process_image(crop, tp::PixelLayout::Colour, settings));
  }
}
BENCHMARK(BM_ProcessImageEveryStep);

static void BM_GammaTable(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(tp::gamma_table(0.8));
  }
}
BENCHMARK(BM_GammaTable);

BENCHMARK_MAIN();
