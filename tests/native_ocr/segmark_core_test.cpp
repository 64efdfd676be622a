// The digit reader's core steps on small hand-made cells whose expected geometry is worked out by hand.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <vector>

#include "segmark/core/cell.hpp"
#include "segmark/core/classify.hpp"
#include "segmark/core/digit.hpp"
#include "segmark/core/frame.hpp"
#include "segmark/core/glyph.hpp"
#include "segmark/core/runs.hpp"
#include "segmark/core/strengths.hpp"
#include "segmark/core/structure.hpp"

using namespace tessaryn::segmark;
using SegRun = tessaryn::segmark::Run;  // inside a TEST body, Run names the fixture method

namespace {

Constants standard() {
  Constants k;
  k.patterns = standard_patterns();
  return k;
}

cv::Mat cell(int rows, int cols) { return cv::Mat::zeros(rows, cols, CV_8U); }

void fill(cv::Mat& m, int x1, int y1, int x2, int y2) {  // inclusive
  m(cv::Range(y1, y2 + 1), cv::Range(x1, x2 + 1)).setTo(1);
}

// A 40-row cell with a 3-pixel stroke over rows 5..34 at the given columns.
cv::Mat stroke_cell(int cols, int x) {
  cv::Mat m = cell(40, cols);
  fill(m, x, 5, x + 2, 34);
  return m;
}


}  // namespace

TEST(ClipBox, ClampsAndOrders) {
  EXPECT_EQ(clip_box(-5, 3, 500, 2, 100, 40), (Box{0, 2, 99, 3}));
  EXPECT_EQ(clip_box(7, 0, 2, 0, 100, 40), (Box{2, 0, 7, 0}));
  EXPECT_EQ(clip_box(5, 5, 9, 9, 0, 0), (Box{0, 0, 0, 0}));
}

TEST(Runs, ContiguousRuns) {
  EXPECT_EQ(contiguous_runs({2, 3, 4, 7, 9, 10}), (std::vector<SegRun>{{2, 4}, {7, 7}, {9, 10}}));
  EXPECT_EQ(contiguous_runs({5}), (std::vector<SegRun>{{5, 5}}));
  EXPECT_TRUE(contiguous_runs({}).empty());
}

TEST(Runs, MarginalRunsAreTrimmedOnlyWhenThinApartAndAtTheEdge) {
  const Constants k = standard();
  EXPECT_EQ(remove_marginal_runs({{0, 1}, {8, 30}, {38, 39}}, 40, k), (std::vector<SegRun>{{8, 30}}));
  EXPECT_EQ(remove_marginal_runs({{0, 1}, {2, 30}}, 40, k), (std::vector<SegRun>{{0, 1}, {2, 30}}));
  EXPECT_EQ(remove_marginal_runs({{1, 2}, {8, 30}}, 40, k), (std::vector<SegRun>{{1, 2}, {8, 30}}));
  EXPECT_EQ(remove_marginal_runs({{0, 1}}, 40, k), (std::vector<SegRun>{{0, 1}}));
}

TEST(Runs, OverlapSharesAnIndex) {
  EXPECT_TRUE(runs_overlap({3, 5}, {5, 9}));
  EXPECT_FALSE(runs_overlap({3, 5}, {6, 9}));
}

TEST(Runs, ExtendFromCoreLinksRunsWithinTheGap) {
  const Constants k = standard();
  std::vector<double> projection(21, 0.0);
  for (int i : {0, 1, 2}) projection[i] = 2;
  for (int i = 4; i <= 10; ++i) projection[i] = 5;
  for (int i = 13; i <= 20; ++i) projection[i] = 3;
  const auto wide = extend_from_core(projection, {{4, 10}}, 2, k);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, std::make_pair(int64_t{0}, int64_t{20}));
  const auto narrow = extend_from_core(projection, {{4, 10}}, 1, k);
  ASSERT_TRUE(narrow);
  EXPECT_EQ(*narrow, std::make_pair(int64_t{0}, int64_t{10}));
  EXPECT_FALSE(extend_from_core(projection, {{3, 3}}, 2, k));
}

TEST(RectangleFill, RoundsBoundsHalfToEven) {
  cv::Mat m = cell(10, 10);
  fill(m, 2, 0, 7, 9);  // columns 2..7 inked: exactly the columns x 2.5..7.5 selects
  EXPECT_DOUBLE_EQ(rectangle_fill(m, 2.5, 0, 7.5, 10), 1.0);
  EXPECT_DOUBLE_EQ(rectangle_fill(m, 5, 0, 5, 10), 0.0);
  EXPECT_DOUBLE_EQ(rectangle_fill(m, -3, -3, 30, 30), 0.6);
}

TEST(TightBounds, FindsTheInk) {
  cv::Mat m = cell(10, 10);
  EXPECT_FALSE(tight_bounds(m));
  m.at<uint8_t>(3, 7) = 1;
  EXPECT_EQ(*tight_bounds(m), (Box{7, 3, 7, 3}));
}

TEST(StructuralFrame, LoneStroke) {
  const auto s = structural_frame(stroke_cell(20, 15), standard());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->tight_box, (Box{15, 5, 17, 34}));
  EXPECT_EQ(s->vertical_core_top, 5);
  EXPECT_EQ(s->bottom, 34);
  EXPECT_EQ(s->left, 15);
  EXPECT_EQ(s->right, 17);
  EXPECT_EQ(s->support_left, 15);
  EXPECT_EQ(s->support_right, 17);
  EXPECT_DOUBLE_EQ(s->width_ratio, 0.15);
  EXPECT_DOUBLE_EQ(s->nominal_segment_length, 30.0);
  EXPECT_FALSE(s->horizontal_bar_extent);
  EXPECT_EQ(s->nominal_frame_width, 20);  // 2 x 3 + 30, limited to the cell width
  EXPECT_FALSE(structural_frame(cell(40, 20), standard()));
}

TEST(StructuralFrame, SplitStrokeMeasuresOneSegment) {
  cv::Mat m = cell(40, 20);
  fill(m, 15, 5, 17, 18);
  fill(m, 15, 21, 17, 34);
  const auto s = structural_frame(m, standard());
  EXPECT_DOUBLE_EQ(s->nominal_segment_length, 14.0);
  EXPECT_EQ(s->nominal_frame_width, 20);
}

TEST(StructuralFrame, MarginalTopRunIsDroppedUnlessTheExtensionLinksIt) {
  cv::Mat m = cell(40, 20);
  fill(m, 0, 0, 19, 1);
  fill(m, 4, 8, 15, 34);
  auto s = structural_frame(m, standard());
  EXPECT_EQ(s->vertical_core_top, 8);
  EXPECT_EQ(s->top, 8);
  EXPECT_EQ(s->left, 4);
  EXPECT_EQ(s->right, 15);
  EXPECT_DOUBLE_EQ(s->width_ratio, 0.6);

  cv::Mat tall = cell(60, 20);
  fill(tall, 0, 0, 19, 1);
  fill(tall, 4, 4, 15, 50);  // a gap of exactly two rows: marginal (2 >= 1.8) but within max_gap 2
  s = structural_frame(tall, standard());
  EXPECT_EQ(s->vertical_core_top, 4);
  EXPECT_EQ(s->top, 0);
}

TEST(StructuralFrame, BarWidensTheNominalFrame) {
  cv::Mat m = stroke_cell(40, 30);
  fill(m, 12, 5, 32, 6);  // a bar of 21 columns on a 3-pixel stroke
  const auto s = structural_frame(m, standard());
  ASSERT_TRUE(s->horizontal_bar_extent);
  EXPECT_GE(s->nominal_frame_width, 21 + 3);
}

TEST(HorizontalBar, EqualWidthsPreferTheOneFurthestRight) {
  cv::Mat m = cell(10, 30);
  fill(m, 0, 2, 7, 2);
  fill(m, 20, 5, 27, 5);
  const auto bar = horizontal_bar_extent(m, 0, 9, 2);
  ASSERT_TRUE(bar);
  EXPECT_EQ(*bar, std::make_pair(int64_t{20}, int64_t{27}));
  EXPECT_FALSE(horizontal_bar_extent(m, 0, 9, 5));  // 8 < 2 x 5
}

TEST(Components, CountsSignificantFourConnectedComponents) {
  const Constants k = standard();
  EXPECT_EQ(significant_component_count(cell(10, 10), k), 0);
  cv::Mat a = cell(40, 10);
  fill(a, 2, 2, 4, 31);
  a.at<uint8_t>(36, 8) = 1;  // a speck below 13.5
  EXPECT_EQ(significant_component_count(a, k), 1);
  cv::Mat b = cell(10, 10);
  fill(b, 0, 0, 1, 4);
  fill(b, 6, 6, 7, 7);  // area 4 meets the minimum of 4
  EXPECT_EQ(significant_component_count(b, k), 2);
  cv::Mat diagonal = cell(4, 4);
  diagonal.at<uint8_t>(1, 1) = diagonal.at<uint8_t>(2, 2) = 1;
  Constants any = k;
  any.component_min_area = 1;
  EXPECT_EQ(significant_component_count(diagonal, any), 2);
}

TEST(SingleVerticalMass, Cases) {
  const Constants k = standard();
  const cv::Mat stroke = stroke_cell(20, 15);
  auto glyph = [](const cv::Mat& m, int top, int bottom, int left, int right) {
    return m(cv::Range(top, bottom + 1), cv::Range(left, right + 1));
  };
  EXPECT_TRUE(single_vertical_mass(glyph(stroke, 5, 34, 15, 17), 5, 34, 15, 17, k));

  cv::Mat barred = stroke.clone();
  fill(barred, 12, 20, 17, 20);
  EXPECT_FALSE(single_vertical_mass(glyph(barred, 5, 34, 12, 17), 5, 34, 12, 17, k));

  cv::Mat short_stroke = cell(40, 20);
  fill(short_stroke, 15, 5, 17, 7);
  EXPECT_FALSE(single_vertical_mass(glyph(short_stroke, 5, 7, 15, 17), 5, 7, 15, 17, k));

  cv::Mat block = cell(40, 20);
  fill(block, 3, 5, 16, 34);
  EXPECT_FALSE(single_vertical_mass(glyph(block, 5, 34, 3, 16), 5, 34, 3, 16, k));

  cv::Mat two = cell(40, 20);
  fill(two, 3, 5, 5, 34);
  fill(two, 12, 5, 14, 34);
  EXPECT_FALSE(single_vertical_mass(glyph(two, 5, 34, 3, 14), 5, 34, 3, 14, k));

  // The stroke half alone: the same ink decides, and only the bounds' aspect is left out.
  EXPECT_TRUE(single_vertical_stroke(glyph(stroke, 5, 34, 15, 17), k));
  EXPECT_FALSE(single_vertical_stroke(glyph(barred, 5, 34, 12, 17), k));
  EXPECT_FALSE(single_vertical_stroke(glyph(two, 5, 34, 3, 14), k));
  EXPECT_FALSE(single_vertical_mass(glyph(stroke, 5, 34, 15, 17), 5, 6, 0, 17, k));
}

struct PlacementCase {
  int cols;
  int stroke_x;
  bool split;
  Box frame;
  const char* position;
  const char* method;
};

class Placement : public testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, NarrowGlyphsAnchorOnTheirSide) {
  const PlacementCase& c = GetParam();
  cv::Mat m = cell(40, c.cols);
  if (c.split) {
    fill(m, c.stroke_x, 5, c.stroke_x + 2, 18);
    fill(m, c.stroke_x, 21, c.stroke_x + 2, 34);
  } else {
    fill(m, c.stroke_x, 5, c.stroke_x + 2, 34);
  }
  const auto info = frame_from_cell(m, standard());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->frame_box_local, c.frame);
  EXPECT_STREQ(info->horizontal_structure_position, c.position);
  EXPECT_STREQ(info->frame_method, c.method);
  EXPECT_EQ(info->frame.cols, c.frame.x2 - c.frame.x1 + 1);
  EXPECT_EQ(info->frame.data, m.ptr<uint8_t>(static_cast<int>(c.frame.y1)) + c.frame.x1);  // a view
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Placement,
    testing::Values(PlacementCase{20, 15, false, {0, 5, 17, 34}, "right", "nominal_width_right_anchored"},
                    PlacementCase{20, 2, false, {2, 5, 19, 34}, "left", "nominal_width_left_anchored"},
                    PlacementCase{20, 9, false, {0, 5, 11, 34}, "right", "nominal_width_right_anchored"},
                    PlacementCase{30, 25, true, {8, 5, 27, 34}, "right", "nominal_width_right_anchored"}));

TEST(Placement, WideGlyphUsesItsStrongColumnsAndEmptyCellHasNoFrame) {
  cv::Mat m = cell(40, 20);
  fill(m, 3, 5, 14, 34);
  const auto info = frame_from_cell(m, standard());
  EXPECT_EQ(info->frame_box_local, (Box{3, 5, 14, 34}));
  EXPECT_STREQ(info->horizontal_frame_source, "projection_wide");
  EXPECT_FALSE(frame_from_cell(cell(40, 20), standard()));
}

struct ProbeCase {
  int rows, cols;
  int segment;  // index in A..G
  cv::Rect covered;
};

class Probes : public testing::TestWithParam<ProbeCase> {};

// Inking exactly the pixels a probe should cover gives that probe a full strength and leaves the
// pixels just outside it unseen.
TEST_P(Probes, CoverTheExpectedPixels) {
  const ProbeCase& c = GetParam();
  cv::Mat m = cell(c.rows, c.cols);
  m(c.covered).setTo(1);
  const Constants k = standard();
  EXPECT_DOUBLE_EQ(segment_strengths(m, k)[c.segment], 1.0);
  cv::Mat ring = cv::Mat::ones(c.rows, c.cols, CV_8U);
  ring(c.covered).setTo(0);
  EXPECT_DOUBLE_EQ(segment_strengths(ring, k)[c.segment], 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Frame40x20, Probes,
    testing::Values(ProbeCase{40, 20, 0, {5, 1, 10, 4}}, ProbeCase{40, 20, 6, {5, 18, 10, 4}},
                    ProbeCase{40, 20, 3, {5, 35, 10, 4}}, ProbeCase{40, 20, 5, {0, 6, 4, 11}},
                    ProbeCase{40, 20, 1, {16, 6, 4, 11}}, ProbeCase{40, 20, 4, {0, 23, 4, 11}},
                    ProbeCase{40, 20, 2, {16, 23, 4, 11}},
                    // 30 x 12: 4.5 rounds to 4, 12.6 to 13, 25.5 to 26, 9.6 to 10
                    ProbeCase{30, 12, 5, {0, 4, 2, 9}}, ProbeCase{30, 12, 4, {0, 17, 2, 9}},
                    ProbeCase{30, 12, 1, {10, 4, 2, 9}}, ProbeCase{30, 12, 2, {10, 17, 2, 9}},
                    // 8 x 5
                    ProbeCase{8, 5, 0, {1, 0, 3, 2}}, ProbeCase{8, 5, 6, {1, 3, 3, 2}},
                    ProbeCase{8, 5, 3, {1, 6, 3, 2}}, ProbeCase{8, 5, 5, {0, 1, 2, 2}},
                    ProbeCase{8, 5, 1, {3, 1, 2, 2}}));

TEST(Strengths, TooSmallFramesGiveZeros) {
  const Constants k = standard();
  EXPECT_EQ(segment_strengths(cv::Mat::ones(7, 20, CV_8U), k), SegmentValues{});
  EXPECT_EQ(segment_strengths(cv::Mat::ones(40, 4, CV_8U), k), SegmentValues{});
  const SegmentValues full = segment_strengths(cv::Mat::ones(40, 20, CV_8U), k);
  for (double v : full) EXPECT_DOUBLE_EQ(v, 1.0);
}

TEST(Strengths, Activation) {
  EXPECT_DOUBLE_EQ(activation(0.15), 0.5);
  EXPECT_DOUBLE_EQ(activation(0.3), 1.0);
  EXPECT_DOUBLE_EQ(activation(0.9), 1.0);
  EXPECT_DOUBLE_EQ(activation(0.0), 0.0);
}

struct ClassifyCase {
  SegmentValues acts;
  int best_digit;
  int best_variant;
  int runner_up;
  bool accepted;
  double confidence;
};

class Classify : public testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, RanksPatternsStably) {
  const ClassifyCase& c = GetParam();
  const Constants k = standard();
  const auto cls = classify_activations(c.acts, c.acts, k);
  ASSERT_TRUE(cls);
  EXPECT_EQ(k.patterns[cls->best].digit_index, c.best_digit);
  EXPECT_EQ(k.patterns[cls->best].variant, c.best_variant);
  EXPECT_EQ(k.patterns[cls->second].digit_index, c.runner_up);
  EXPECT_EQ(cls->accepted, c.accepted);
  EXPECT_DOUBLE_EQ(cls->confidence, c.confidence);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Classify,
    testing::Values(ClassifyCase{{1, 1, 1, 1, 1, 1, 1}, 8, 0, 0, true, 1.0},
                    ClassifyCase{{0, 1, 1, 0, 0, 0, 0}, 1, 0, 7, true, 1.0},
                    ClassifyCase{{1, 1, 1, 0, 0, 1, 1}, 9, 1, 4, true, 1.0},
                    ClassifyCase{{.5, .5, .5, .5, .5, .5, .5}, 0, 0, 1, false, 0.85 * 0.5},
                    ClassifyCase{{0, 0, 0, 0, 0, 0, 0}, 1, 0, 7, false,
                                 0.85 * (0.72 * (5 / 7.0)) + 0.15 * ((0.72 * (5 / 7.0) - 0.72 * (4 / 7.0)) / 0.18)}));

TEST(Classify, ScoresAndTheAcceptanceEdge) {
  const std::vector<uint8_t> eight(7, 1);
  const std::vector<double> all_on(7, 1.0);
  EXPECT_DOUBLE_EQ(*score_pattern(all_on, eight), 1.0);
  const std::vector<uint8_t> zero = {1, 1, 1, 1, 1, 1, 0};
  EXPECT_DOUBLE_EQ(*score_pattern(all_on, zero), 0.72 * (6.0 / 7.0));
  EXPECT_FALSE(score_pattern({}, zero));
  EXPECT_GE(kAcceptanceThreshold, 0.58);
  EXPECT_LE(kAcceptanceThreshold, 0.58);
}

TEST(ReadDigitCell, EmptyAndClassified) {
  const Constants k = standard();
  cv::Mat blank = cell(50, 20);
  SlotReading r = read_digit_cell(view_of(blank), {0, 0, 19, 49}, k);
  EXPECT_TRUE(r.empty);
  EXPECT_DOUBLE_EQ(r.confidence, 1.0);

  cv::Mat sparse = cell(50, 20);
  sparse(cv::Rect(0, 0, 20, 1)).setTo(255);  // 20 of 1000 pixels: 2 %
  r = read_digit_cell(view_of(sparse), {0, 0, 19, 49}, k);
  EXPECT_TRUE(r.empty);
  EXPECT_DOUBLE_EQ(r.ink_ratio, 0.02);
  EXPECT_DOUBLE_EQ(r.confidence, 1.0 - 0.02 / 0.06);

  cv::Mat eight = cell(40, 20);
  fill(eight, 2, 2, 17, 5);
  fill(eight, 2, 18, 17, 21);
  fill(eight, 2, 34, 17, 37);
  fill(eight, 2, 2, 5, 37);
  fill(eight, 14, 2, 17, 37);
  r = read_digit_cell(view_of(eight), {25, 45, -3, -3}, k);  // reversed, partly outside
  EXPECT_EQ(r.box, (Box{0, 0, 19, 39}));
  ASSERT_FALSE(r.empty);
  EXPECT_TRUE(r.classification->accepted);
  EXPECT_EQ(k.patterns[r.classification->best].digit_index, 8);
}
