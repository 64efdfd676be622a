// Preparation of a typical score crop (about 120x70) with the default settings and with every step on.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <opencv2/imgproc.hpp>

#include <vector>

#include "panelsight/core/prepare.hpp"
#include "panelsight/core/separator/corridor.hpp"
#include "panelsight/core/separator/energy.hpp"
#include "panelsight/core/separator/sheet_blur.hpp"

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

namespace sep = tessaryn::panelsight::separator;

// A clock crop of about 180 x 90 and one of its 10-column search windows.
static cv::Mat clock_crop() {
  cv::Mat crop(87, 182, CV_8UC3, cv::Scalar(14, 12, 18));
  for (int x : {20, 55, 110, 145}) {
    cv::rectangle(crop, cv::Rect(x, 10, 25, 67), cv::Scalar(0, 170, 255), 5);
  }
  cv::rectangle(crop, cv::Rect(88, 30, 5, 5), cv::Scalar(0, 170, 255), -1);
  cv::rectangle(crop, cv::Rect(88, 58, 5, 5), cv::Scalar(0, 170, 255), -1);
  return crop;
}

static void BM_SeparatorDetailBlurOneWindow(benchmark::State& state) {
  cv::Mat gray;
  cv::cvtColor(clock_crop()(cv::Rect(85, 0, 10, 87)), gray, cv::COLOR_BGR2GRAY);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sep::detail_blur(gray));
  }
}
BENCHMARK(BM_SeparatorDetailBlurOneWindow);

static void BM_SeparatorSheetBlurSevenWindows(benchmark::State& state) {
  cv::Mat gray;
  cv::cvtColor(clock_crop(), gray, cv::COLOR_BGR2GRAY);
  std::vector<cv::Mat> windows;
  for (int left = 82; left < 89; ++left) {
    windows.push_back(gray(cv::Rect(left, 0, 10, gray.rows)).clone());
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(sep::reflected_sheet_blurs(windows, 7.0));
  }
}
BENCHMARK(BM_SeparatorSheetBlurSevenWindows);

static void BM_SeparatorMask(benchmark::State& state) {
  const cv::Mat crop = clock_crop();
  const cv::Mat window = crop(cv::Rect(85, 0, 10, crop.rows));
  cv::Mat gray;
  cv::cvtColor(window, gray, cv::COLOR_BGR2GRAY);
  const cv::Mat blur = sep::detail_blur(gray);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sep::separator_mask(window, blur));
  }
}
BENCHMARK(BM_SeparatorMask);

static void BM_SeparatorWindowEvaluation(benchmark::State& state) {
  const cv::Mat crop = clock_crop();
  cv::Mat gray;
  cv::cvtColor(crop(cv::Rect(85, 0, 10, crop.rows)), gray, cv::COLOR_BGR2GRAY);
  const cv::Mat blur = sep::detail_blur(gray);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sep::evaluate_window(crop, 85, 10, blur));
  }
}
BENCHMARK(BM_SeparatorWindowEvaluation);

BENCHMARK_MAIN();
