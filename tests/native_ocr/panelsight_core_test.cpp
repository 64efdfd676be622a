#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

#include "panelsight/core/box.hpp"
#include "panelsight/core/components.hpp"
#include "panelsight/core/image_io.hpp"
#include "panelsight/core/prepare.hpp"
#include "panelsight/core/roles.hpp"
#include "panelsight/core/settings.hpp"
#include "panelsight/core/zones.hpp"

namespace tp = tessaryn::panelsight;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct BoundsCase {
  tp::ZoneGeometry zone;
  double x1, y1, x2, y2;
};

class ZoneBoundsTable : public testing::TestWithParam<BoundsCase> {};

TEST_P(ZoneBoundsTable, TruncatesAndClampsOnlyTheOuterSides) {
  const BoundsCase& c = GetParam();
  const tp::PixelBounds b = tp::zone_bounds(c.zone, 640, 480);
  EXPECT_EQ(b.x1, c.x1);
  EXPECT_EQ(b.y1, c.y1);
  EXPECT_EQ(b.x2, c.x2);
  EXPECT_EQ(b.y2, c.y2);
  EXPECT_FALSE(std::signbit(b.x1));  // a -0.0 start would print as "-0" in logs
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneBoundsTable,
    testing::Values(BoundsCase{{0, 0, 1, 1}, 0, 0, 640, 480},
                    BoundsCase{{-0.1, 0, 0.3, 1}, 0, 0, 127, 480},
                    BoundsCase{{0.95, 0, 0.1, 1}, 608, 0, 640, 480},
                    BoundsCase{{1.2, 0, 0.1, 1}, 768, 0, 640, 480},
                    BoundsCase{{-2.0, 0, 0.5, 1}, 0, 0, -960, 480},
                    BoundsCase{{-0.0001, -0.01, 0.0, 0.005}, 0, 0, 0, -2}));

TEST(ZoneBounds, NonFiniteBoundsStayNonFinite) {
  EXPECT_TRUE(std::isnan(tp::lower_pixel_bound(kNaN, 640)));
  EXPECT_EQ(tp::lower_pixel_bound(-kInf, 640), -kInf);
  EXPECT_EQ(tp::upper_pixel_bound(kInf, 0, 640), kInf);
  EXPECT_TRUE(std::isnan(tp::upper_pixel_bound(0, 1, kNaN)));
  EXPECT_FALSE(tp::bounds_are_finite(tp::zone_bounds({0, -kInf, 1, 1}, 640, 480)));
  EXPECT_TRUE(tp::bounds_are_finite(tp::zone_bounds({0, 0, 1, 1}, 640, 480)));
}

TEST(ZoneBounds, EmptySelections) {
  EXPECT_FALSE(tp::selection_is_empty({0, 0, 1, 1}));
  EXPECT_TRUE(tp::selection_is_empty({5, 0, 5, 1}));
  EXPECT_TRUE(tp::selection_is_empty({0, 3, 1, 2}));
  EXPECT_TRUE(tp::selection_is_empty({768, 0, 640, 480}));
  EXPECT_TRUE(tp::selection_is_empty({0, 0, -960, 480}));
  EXPECT_TRUE(tp::selection_is_empty({0, 0, kNaN, 480}));
}

TEST(Box, RoundsHalfToEven) {
  EXPECT_EQ(tp::round_box(0.5, 1.5, 2.5, 3.5), (tp::Box{0, 2, 2, 4}));
  EXPECT_EQ(tp::round_box(-1.5, 0, 10, 7.49), (tp::Box{-2, 0, 10, 7}));
  EXPECT_EQ(tp::round_box_coordinate(-0.5), 0.0);
  EXPECT_EQ(tp::round_box_coordinate(kInf), kInf);
}

TEST(Roles, SingleDigitRoles) {
  EXPECT_TRUE(tp::is_single_digit_role("down"));
  EXPECT_TRUE(tp::is_single_digit_role("home_timeouts"));
  EXPECT_TRUE(tp::is_single_digit_role("guest_timeouts"));
  EXPECT_FALSE(tp::is_single_digit_role("period"));
  EXPECT_FALSE(tp::is_single_digit_role(""));
}

cv::Mat mask_with_three_blobs() {
  cv::Mat mask = cv::Mat::zeros(12, 12, CV_8UC1);
  mask.at<uint8_t>(0, 0) = mask.at<uint8_t>(0, 1) = 255;                        // area 2
  mask.at<uint8_t>(4, 0) = mask.at<uint8_t>(5, 1) = mask.at<uint8_t>(6, 2) = 1;  // area 3, diagonal
  mask(cv::Rect(6, 8, 5, 2)).setTo(200);                                         // area 10
  return mask;
}

TEST(RemoveSmallComponents, KeepsComponentsOfAtLeastMinArea) {
  const cv::Mat mask = mask_with_three_blobs();
  const cv::Mat before = mask.clone();
  const cv::Mat kept = tp::remove_small_components(mask, 3);
  ASSERT_EQ(kept.type(), CV_8UC1);
  ASSERT_EQ(kept.size(), mask.size());
  EXPECT_EQ(cv::countNonZero(kept), 13);
  EXPECT_EQ(kept.at<uint8_t>(0, 0), 0);
  EXPECT_EQ(kept.at<uint8_t>(5, 1), 255);
  EXPECT_EQ(kept.at<uint8_t>(9, 10), 255);
  EXPECT_EQ(cv::countNonZero(mask != before), 0);
  EXPECT_EQ(cv::countNonZero(tp::remove_small_components(mask, 10.5)), 0);
  EXPECT_EQ(cv::countNonZero(tp::remove_small_components(mask, kNaN)), 0);
  EXPECT_EQ(cv::countNonZero(tp::remove_small_components(mask, -kInf)), 15);
}

TEST(RemoveSmallComponents, EmptyMaskAndBadTypes) {
  EXPECT_TRUE(tp::remove_small_components(cv::Mat(0, 5, CV_8UC1), 1).empty());
  EXPECT_THROW(tp::remove_small_components(cv::Mat::zeros(4, 4, CV_8SC1), 1), cv::Exception);
  EXPECT_THROW(tp::remove_small_components(cv::Mat::zeros(4, 4, CV_8UC3), 1), cv::Exception);
  EXPECT_THROW(tp::remove_small_components(cv::Mat::zeros(4, 4, CV_32FC1), 1), cv::Exception);
}

class DecodeTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("panelsight_core_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(DecodeTest, ColourAndGrayJpegsDecodeToBgr) {
  cv::Mat colour(30, 40, CV_8UC3, cv::Scalar(10, 120, 230));
  ASSERT_TRUE(cv::imwrite(path("c.jpg"), colour));
  const cv::Mat decoded = tp::decode_bgr_image(path("c.jpg"));
  ASSERT_EQ(decoded.type(), CV_8UC3);
  EXPECT_EQ(decoded.size(), colour.size());

  cv::Mat gray(20, 25, CV_8UC1, cv::Scalar(77));
  ASSERT_TRUE(cv::imwrite(path("g.jpg"), gray));
  const cv::Mat from_gray = tp::decode_bgr_image(path("g.jpg"));
  ASSERT_EQ(from_gray.type(), CV_8UC3);
  cv::Mat channels[3];
  cv::split(from_gray, channels);
  EXPECT_EQ(cv::countNonZero(channels[0] != channels[1]), 0);
  EXPECT_EQ(cv::countNonZero(channels[1] != channels[2]), 0);
}

TEST_F(DecodeTest, UnreadableFilesGiveAnEmptyMat) {
  EXPECT_TRUE(tp::decode_bgr_image(path("missing.jpg")).empty());
  EXPECT_TRUE(tp::decode_bgr_image("").empty());
  EXPECT_TRUE(tp::decode_bgr_image(dir_.string()).empty());
  std::ofstream(path("garbage.jpg")) << "definitely not a picture";
  EXPECT_TRUE(tp::decode_bgr_image(path("garbage.jpg")).empty());

  cv::Mat colour(30, 40, CV_8UC3, cv::Scalar(1, 2, 3));
  ASSERT_TRUE(cv::imwrite(path("real.jpg"), colour));
  // Cut at the NUL, this path would name the real file.
  EXPECT_TRUE(tp::decode_bgr_image(path("real.jpg") + std::string("\0.png", 5)).empty());
}

}  // namespace

namespace {

TEST(Settings, ClampKeepsPythonsMinMaxOrderForNaN) {
  EXPECT_EQ(tp::clamp_setting<int64_t>(300, tp::kThresholdRange), 255);
  EXPECT_EQ(tp::clamp_setting<int64_t>(-5, tp::kThresholdRange), 0);
  EXPECT_EQ(tp::clamp_setting(10.0, tp::kContrastRange), 4.0);
  EXPECT_EQ(tp::clamp_setting(-kInf, tp::kGammaRange), 0.2);
  // max(nan, low) and min(nan, high) both keep their first argument.
  EXPECT_TRUE(std::isnan(tp::clamp_setting(kNaN, tp::kRotationRange)));
}

TEST(Settings, MorphologyNamesAreExactAndCaseSensitive) {
  EXPECT_EQ(tp::morphology_named("close"), tp::Morphology::Close);
  EXPECT_EQ(tp::morphology_named("none"), tp::Morphology::None);
  EXPECT_FALSE(tp::morphology_named("OPEN"));
  EXPECT_FALSE(tp::morphology_named("open "));
}

TEST(Prepare, GammaTable) {
  const auto identity = tp::gamma_table(1.0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(identity[static_cast<size_t>(i)], i);
  }
  const auto squared = tp::gamma_table(2.0);
  EXPECT_EQ(squared[64], 127);
  EXPECT_EQ(squared[128], 180);
  const auto halved = tp::gamma_table(0.5);
  EXPECT_EQ(halved[128], 64);
  EXPECT_EQ(halved[255], 255);
  // A NaN gamma: only 1^NaN is defined; every other entry is dark, not undefined.
  const auto undefined = tp::gamma_table(kNaN);
  EXPECT_EQ(undefined[0], 0);
  EXPECT_EQ(undefined[100], 0);
  EXPECT_EQ(undefined[255], 255);
}

TEST(Prepare, ReadsOnlyAndRefusesWhatOpenCvRefuses) {
  cv::Mat colour(20, 30, CV_8UC3, cv::Scalar(200, 200, 200));
  const cv::Mat before = colour.clone();
  tp::ProcessingSettings s;
  s.rotation = 5;
  s.blur = 4;
  s.morphology = tp::Morphology::Close;
  const cv::Mat out = tp::process_image(colour, tp::PixelLayout::Colour, s);
  EXPECT_EQ(out.type(), CV_8UC1);
  EXPECT_EQ(out.size(), colour.size());
  EXPECT_EQ(cv::norm(colour, before, cv::NORM_INF), 0.0);

  EXPECT_THROW(tp::process_image(cv::Mat(4, 4, CV_8UC2), tp::PixelLayout::Colour, s), cv::Exception);
  EXPECT_THROW(tp::process_image(cv::Mat(4, 4, CV_8UC1), tp::PixelLayout::Colour, s), cv::Exception);
  EXPECT_THROW(tp::process_image(cv::Mat(4, 4, CV_32FC1), tp::PixelLayout::Gray, s), cv::Exception);
}

}  // namespace

#include <opencv2/imgproc.hpp>

#include "panelsight/core/separator/fixed_gaussian.hpp"
#include "panelsight/core/separator/sheet_blur.hpp"

namespace {

namespace sep = tessaryn::panelsight::separator;

TEST(SeparatorBlur, TheFixedPointModelBlursAsOpenCvDoes) {
  const sep::FixedPointGaussian* model = sep::FixedPointGaussian::for_sigma(7.0);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(sep::FixedPointGaussian::for_sigma(2.0), nullptr);
  cv::RNG rng(11);
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(1, 50), cv::Size(50, 1), cv::Size(3, 2), cv::Size(11, 87),
                              cv::Size(64, 64), cv::Size(200, 3)}) {
    cv::Mat gray(size, CV_8U);
    rng.fill(gray, cv::RNG::UNIFORM, 0, 256);
    cv::Mat expected;
    cv::GaussianBlur(gray, expected, cv::Size(0, 0), 7.0);
    cv::Mat produced(size, CV_8U);
    model->blur(gray, produced);
    EXPECT_EQ(cv::norm(expected, produced, cv::NORM_INF), 0.0) << size;
  }
}

TEST(SeparatorBlur, SheetRegionsShareOneBuffer) {
  std::vector<cv::Mat> grays{cv::Mat(30, 4, CV_8U, cv::Scalar(10)), cv::Mat(30, 9, CV_8U, cv::Scalar(200))};
  const std::vector<cv::Mat> blurs = sep::reflected_sheet_blurs(grays, 7.0);
  ASSERT_EQ(blurs.size(), 2u);
  EXPECT_EQ(blurs[0].datastart, blurs[1].datastart);
  EXPECT_EQ(blurs[1].at<uint8_t>(5, 5), 200);
  EXPECT_TRUE(sep::reflected_sheet_blurs({}, 7.0).empty());
}

TEST(RemoveSmallComponents, MatchesOpenCvLabellingOnNoise) {
  cv::RNG rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    cv::Mat noise(1 + trial * 3, 2 + trial * 5, CV_8U);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::Mat mask = noise > 170;
    cv::Mat labels;
    cv::Mat stats;
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    cv::Mat expected = cv::Mat::zeros(mask.size(), CV_8U);
    for (int label = 1; label < count; ++label) {
      if (stats.at<int>(label, cv::CC_STAT_AREA) >= 3) {
        expected.setTo(255, labels == label);
      }
    }
    EXPECT_EQ(cv::norm(expected, tp::remove_small_components(mask, 3), cv::NORM_INF), 0.0) << trial;
  }
}

}  // namespace
