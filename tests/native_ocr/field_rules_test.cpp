// The decisions of the clock and score readers, reachable without Python: the choice between a
// colon and a decimal point, the two-digit rule and the clock text.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "panelsight/core/field_rules.hpp"
#include "panelsight/core/separator/detect.hpp"

namespace tp = tessaryn::panelsight;
namespace sep = tessaryn::panelsight::separator;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::optional<sep::Hypothesis> hypothesis(sep::SeparatorKind kind, double final_score, double topological) {
  sep::Hypothesis h;
  h.kind = kind;
  h.final_score = final_score;
  h.topological_score = topological;
  return h;
}

std::optional<sep::Hypothesis> colon(double final_score, double topological) {
  return hypothesis(sep::SeparatorKind::Colon, final_score, topological);
}

std::optional<sep::Hypothesis> decimal(double final_score, double topological) {
  return hypothesis(sep::SeparatorKind::Decimal, final_score, topological);
}

struct SelectionCase {
  const char* name;
  std::optional<sep::Hypothesis> best_colon;
  std::optional<sep::Hypothesis> best_decimal;
  std::optional<sep::SeparatorKind> expected;  // none: no separator
};

class SeparatorSelection : public testing::TestWithParam<SelectionCase> {};

TEST_P(SeparatorSelection, PicksTheAcceptedHypothesisThatRanksHighest) {
  const SelectionCase& c = GetParam();
  const std::optional<sep::Hypothesis> chosen = sep::select_hypothesis(c.best_colon, c.best_decimal);
  ASSERT_EQ(chosen.has_value(), c.expected.has_value());
  if (chosen) {
    EXPECT_EQ(chosen->kind, *c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothKinds, SeparatorSelection,
    testing::Values(
        SelectionCase{"neither_reaches_acceptance", colon(0.64, 0.99), decimal(0.6, 0.9), std::nullopt},
        SelectionCase{"no_hypotheses", std::nullopt, std::nullopt, std::nullopt},
        SelectionCase{"acceptance_is_inclusive", colon(0.65, 0.1), std::nullopt, sep::SeparatorKind::Colon},
        SelectionCase{"only_the_decimal_accepted", colon(0.64, 0.99), decimal(0.66, 0.7), sep::SeparatorKind::Decimal},
        SelectionCase{"only_the_colon_accepted", colon(0.7, 0.7), decimal(0.5, 0.99), sep::SeparatorKind::Colon},
        SelectionCase{"both_accepted_decimal_scores_higher", colon(0.7, 0.9), decimal(0.8, 0.1),
                      sep::SeparatorKind::Decimal},
        SelectionCase{"both_accepted_colon_scores_higher", colon(0.8, 0.1), decimal(0.7, 0.9),
                      sep::SeparatorKind::Colon},
        SelectionCase{"equal_final_scores_topology_decides_for_decimal", colon(0.8, 0.5), decimal(0.8, 0.6),
                      sep::SeparatorKind::Decimal},
        SelectionCase{"equal_final_scores_topology_decides_for_colon", colon(0.8, 0.6), decimal(0.8, 0.5),
                      sep::SeparatorKind::Colon},
        SelectionCase{"a_full_tie_keeps_the_colon", colon(0.8, 0.8), decimal(0.8, 0.8), sep::SeparatorKind::Colon},
        SelectionCase{"a_nan_score_is_never_accepted", colon(kNaN, 0.9), decimal(0.7, 0.1),
                      sep::SeparatorKind::Decimal}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

TEST(SeparatorSelection, RankingIsStrictAndOrderedByFinalScoreFirst) {
  EXPECT_TRUE(sep::ranks_above(*decimal(0.9, 0.1), *colon(0.8, 0.9)));
  EXPECT_FALSE(sep::ranks_above(*colon(0.8, 0.9), *decimal(0.9, 0.1)));
  EXPECT_FALSE(sep::ranks_above(*colon(0.8, 0.8), *decimal(0.8, 0.8)));
}

TEST(BestHypothesis, TheFirstOfTheLargestFinalScoresWins) {
  const std::vector<sep::Hypothesis> hs{*colon(0.5, 0), *colon(0.9, 0), *colon(0.9, 1), *colon(kNaN, 0)};
  EXPECT_EQ(sep::best_hypothesis(hs), std::optional<size_t>(1));
  EXPECT_EQ(sep::best_hypothesis(std::vector<sep::Hypothesis>{}), std::nullopt);
  const std::vector<sep::Hypothesis> nan_first{*colon(kNaN, 0), *colon(0.2, 0)};
  EXPECT_EQ(sep::best_hypothesis(nan_first), std::optional<size_t>(0));  // NaN compares false both ways
}

TEST(Hypothesis, ColonSitsAtTheEnergyWeightedMiddleOfItsDotsInCropColumns) {
  sep::WindowEvaluation e;
  e.span = {40, 50};
  sep::Group upper;
  upper.center_x = 4;
  upper.energy = 30;
  sep::Group lower;
  lower.center_x = 6;
  lower.energy = 10;
  e.groups.groups = {upper, lower};
  e.topology.colon = sep::ColonCandidate{0.9, 0, 1};
  const auto h = sep::make_hypothesis(e, sep::SeparatorKind::Colon, 3, 40, 50);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->window, 3u);
  EXPECT_DOUBLE_EQ(h->x, 44.5);
  EXPECT_DOUBLE_EQ(h->topological_score, 0.9);
  EXPECT_DOUBLE_EQ(h->final_score, 0.9 * h->prior.spatial_prior);
  EXPECT_FALSE(sep::make_hypothesis(e, sep::SeparatorKind::Decimal, 3, 40, 50));
}

struct ScoreCase {
  tp::SlotStatus tens;
  tp::SlotStatus units;
  tp::ScoreForm form;
  const char* reason;
};

class ScoreRule : public testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreRule, UnitsDecideFirstThenTheTensSlot) {
  const ScoreCase& c = GetParam();
  EXPECT_EQ(tp::score_form(c.tens, c.units), c.form);
  EXPECT_STREQ(tp::score_reason(c.form), c.reason);
}

using S = tp::SlotStatus;
using F = tp::ScoreForm;
INSTANTIATE_TEST_SUITE_P(
    AllStatusPairs, ScoreRule,
    testing::Values(ScoreCase{S::Digit, S::Digit, F::TensAndUnits, "ok"},
                    ScoreCase{S::Empty, S::Digit, F::UnitsOnly, "ok"},
                    ScoreCase{S::Other, S::Digit, F::Unrecognized, "unrecognized"},
                    ScoreCase{S::Digit, S::Empty, F::MissingUnits, "missing_units"},
                    ScoreCase{S::Digit, S::Other, F::MissingUnits, "missing_units"},
                    ScoreCase{S::Other, S::Other, F::MissingUnits, "missing_units"},
                    ScoreCase{S::Empty, S::Empty, F::MissingUnits, "missing_units"}));

tp::ClockPosition digit(const char* text) { return {S::Digit, text}; }
const tp::ClockPosition kBlank{S::Empty, ""};
const tp::ClockPosition kUnreadable{S::Other, ""};

struct ClockCase {
  const char* name;
  std::vector<tp::ClockPosition> left;
  std::vector<tp::ClockPosition> right;
  char separator;
  std::optional<std::string> text;
};

class ClockText : public testing::TestWithParam<ClockCase> {};

TEST_P(ClockText, ComposesTheTwoSidesAroundTheSeparator) {
  const ClockCase& c = GetParam();
  EXPECT_EQ(tp::clock_text(c.left, c.right, c.separator), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Faces, ClockText,
    testing::Values(
        ClockCase{"minutes", {digit("1"), digit("2")}, {digit("3"), digit("4")}, ':', "12:34"},
        ClockCase{"blank_leading_minute", {kBlank, digit("2")}, {digit("0"), digit("5")}, ':', "2:05"},
        ClockCase{"blank_left_side", {kBlank, kBlank}, {digit("0"), digit("5")}, ':', std::nullopt},
        ClockCase{"blank_right_side", {digit("1"), digit("2")}, {kBlank, kBlank}, ':', std::nullopt},
        ClockCase{"unreadable_left", {kUnreadable, digit("2")}, {digit("3"), digit("4")}, ':', std::nullopt},
        ClockCase{"unreadable_right", {digit("1"), digit("2")}, {digit("3"), kUnreadable}, ':', std::nullopt},
        ClockCase{"tenths", {digit("4"), digit("5")}, {digit("6"), kBlank}, '.', "45.6"},
        ClockCase{"tenths_ignore_the_second_right_digit", {digit("4"), digit("5")}, {digit("6"), digit("7")}, '.',
                  "45.6"},
        ClockCase{"tenths_need_the_first_right_digit", {digit("4"), digit("5")}, {kBlank, digit("7")}, '.',
                  std::nullopt},
        ClockCase{"tenths_spoilt_by_an_unreadable_second_right", {digit("4"), digit("5")}, {digit("6"), kUnreadable},
                  '.', std::nullopt},
        ClockCase{"multi_character_digits", {digit("10"), digit("2")}, {digit("3"), digit("4")}, ':', "102:34"},
        ClockCase{"a_digit_with_empty_text_counts_as_blank", {digit(""), digit("")}, {digit("3"), digit("4")}, ':',
                  std::nullopt}),
    [](const testing::TestParamInfo<ClockCase>& info) { return std::string(info.param.name); });

}  // namespace
