#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <optional>
#include <string>

#include "panelsight/core/robust/robust.hpp"

namespace rb = tessaryn::panelsight::robust;

namespace {

// Lit segments A-G of the digits as the tests draw them.
const char* kLit[10] = {"ABCDEF", "BC", "ABDEG", "ABCDG", "BCFG", "ACDFG", "ACDEFG", "ABC", "ABCDEFG", "ABCDFG"};

// Draws the segments `lit` of a digit box at (x, y) of size w x h, leaning by `slant`.
void draw_digit(cv::Mat& img, const std::string& lit, double x, double y, double w, double h, double slant,
                const cv::Scalar& colour) {
  const double t = std::max(2.0, 0.2 * w);
  const double g = std::max(1.0, 0.15 * t);
  auto bar = [&](double x0, double y0, double x1, double y1) {
    std::vector<cv::Point> pts;
    for (auto [px, py] : {std::pair{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}) {
      pts.emplace_back(static_cast<int>(std::lround(x + px + slant * (h - py))),
                       static_cast<int>(std::lround(y + py)));
    }
    cv::fillConvexPoly(img, pts, colour);
  };
  const double mid = h / 2.0;
  for (char s : lit) {
    switch (s) {
      case 'A': bar(g, 0, w - g, t); break;
      case 'G': bar(g, mid - t / 2, w - g, mid + t / 2); break;
      case 'D': bar(g, h - t, w - g, h); break;
      case 'F': bar(0, g, t, mid - g); break;
      case 'B': bar(w - t, g, w, mid - g); break;
      case 'E': bar(0, mid + g, t, h - g); break;
      case 'C': bar(w - t, mid + g, w, h - g); break;
    }
  }
}

struct Look {
  cv::Scalar ink{0, 165, 255};
  cv::Scalar panel{16, 14, 12};
  double slant = 0.0;
};

// A clock face "dd:dd" (colon or point at `sep`), 60 px digits, with margins around it.
cv::Mat clock_face(const std::string& text, const Look& look) {
  const double h = 60, w = 33, gap = 12, sep_gap = 30;
  cv::Mat img(90, 250, CV_8UC3, look.panel);
  double x = 20;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':' || c == '.') {
      const double cx = x - gap + sep_gap / 2.0;
      for (double fy : c == ':' ? std::vector<double>{0.3, 0.7} : std::vector<double>{0.92}) {
        cv::circle(img, cv::Point(static_cast<int>(cx + look.slant * (h - fy * h)), static_cast<int>(15 + fy * h)), 4,
                   look.ink, -1);
      }
      x += sep_gap - gap;
      continue;
    }
    if (c != ' ') {
      draw_digit(img, kLit[c - '0'], x, 15, w - look.slant * h, h, look.slant, look.ink);
    }
    x += w + gap;
  }
  return img;
}

}  // namespace

TEST(RobustSegments, EveryFaceOfEveryDigit) {
  const struct {
    std::array<int, 7> lit;
    std::optional<int> digit;
  } table[] = {
      {{1, 1, 1, 1, 1, 1, 0}, 0}, {{0, 1, 1, 0, 0, 0, 0}, 1}, {{1, 1, 0, 1, 1, 0, 1}, 2},
      {{1, 1, 1, 1, 0, 0, 1}, 3}, {{0, 1, 1, 0, 0, 1, 1}, 4}, {{1, 0, 1, 1, 0, 1, 1}, 5},
      {{1, 0, 1, 1, 1, 1, 1}, 6}, {{0, 0, 1, 1, 1, 1, 1}, 6}, {{1, 1, 1, 0, 0, 0, 0}, 7},
      {{1, 1, 1, 0, 0, 1, 0}, 7}, {{1, 1, 1, 1, 1, 1, 1}, 8}, {{1, 1, 1, 1, 0, 1, 1}, 9},
      {{1, 1, 1, 0, 0, 1, 1}, 9}, {{0, 0, 0, 0, 0, 0, 0}, std::nullopt}, {{1, 0, 0, 0, 0, 0, 0}, std::nullopt},
      {{1, 1, 0, 1, 1, 1, 1}, std::nullopt}, {{0, 0, 0, 0, 0, 0, 1}, std::nullopt},
  };
  for (const auto& row : table) {
    EXPECT_EQ(rb::digit_of_segments(row.lit), row.digit);
  }
}

TEST(RobustInk, ChannelAndPolarityFollowTheDisplay) {
  const struct {
    cv::Scalar ink, panel;
    rb::Polarity polarity;
    std::vector<rb::Channel> channels;  // any of these separates best
  } table[] = {
      {{40, 40, 235}, {18, 14, 12}, rb::Polarity::Light, {rb::Channel::Red, rb::Channel::Max}},
      {{70, 225, 40}, {18, 14, 12}, rb::Polarity::Light, {rb::Channel::Green, rb::Channel::Max}},
      {{40, 44, 40}, {186, 196, 186}, rb::Polarity::Dark, {rb::Channel::Gray, rb::Channel::Green, rb::Channel::Red,
                                                           rb::Channel::Blue, rb::Channel::Max}},
      {{225, 235, 210}, {70, 60, 45}, rb::Polarity::Light, {rb::Channel::Gray, rb::Channel::Green, rb::Channel::Red,
                                                             rb::Channel::Blue, rb::Channel::Max}},
  };
  for (const auto& row : table) {
    const rb::InkImage ink = rb::ink_image(clock_face("12:34", {row.ink, row.panel}), {});
    EXPECT_EQ(ink.polarity, row.polarity);
    EXPECT_NE(std::find(row.channels.begin(), row.channels.end(), ink.channel), row.channels.end())
        << rb::channel_name(ink.channel);
    EXPECT_GT(ink.contrast, 100);
  }
}

TEST(RobustInk, FixedChoicesAreKept) {
  rb::Options o;
  o.channel = rb::Channel::Blue;
  o.polarity = rb::Polarity::Dark;
  const rb::InkImage ink = rb::ink_image(clock_face("12:34", {}), o);
  EXPECT_EQ(ink.channel, rb::Channel::Blue);
  EXPECT_EQ(ink.polarity, rb::Polarity::Dark);
}

TEST(RobustSlant, EstimateFindsTheLean) {
  for (double slant : {0.0, 0.06, 0.12, 0.2}) {
    Look look;
    look.slant = slant;
    const rb::InkImage ink = rb::ink_image(clock_face("10:48", look), {});
    cv::Mat binary;
    cv::threshold(ink.ink, binary, ink.threshold, 255, cv::THRESH_BINARY);
    EXPECT_NEAR(rb::estimate_slant(binary), slant, 0.03) << slant;
  }
}

// A small digit alone, smeared sideways by motion: the blur fattens every bar, so upright and leaning
// columns differ less than on a sharp face, yet the lean is still there to undo.
TEST(RobustSlant, SmallBlurredDigitsStillLean) {
  for (int d : {0, 4, 7, 8}) {
    for (double slant : {0.16, 0.21}) {
      const double h = 20, w = 11;
      cv::Mat img(30, 20, CV_8UC3, cv::Scalar(16, 14, 12));
      draw_digit(img, kLit[d], 4, 5, w - slant * h, h, slant, cv::Scalar(0, 165, 255));
      cv::blur(img, img, cv::Size(3, 1));
      const rb::InkImage ink = rb::ink_image(img, {});
      cv::Mat binary;
      cv::threshold(ink.ink, binary, ink.threshold, 255, cv::THRESH_BINARY);
      EXPECT_NEAR(rb::estimate_slant(binary), slant, 0.05) << d << " " << slant;
    }
  }
}

TEST(RobustSlant, ShearKeepsEveryPixel) {
  cv::Mat img(40, 30, CV_8U, cv::Scalar(0));
  img.col(0).setTo(255);
  img.col(29).setTo(255);
  int pad = 0;
  const cv::Mat out = rb::shear(img, 0.25, &pad);
  EXPECT_EQ(out.cols, 30 + 2 * pad);
  EXPECT_GE(cv::countNonZero(out), 60);
}

TEST(RobustSeparator, ColonPointOrNothing) {
  auto digits = [](std::initializer_list<int> xs) {
    rb::FieldLayout l;
    for (int x : xs) {
      l.digits.push_back({cv::Rect(x, 10, 30, 60), 1});
    }
    l.digit_height = 60;
    return l;
  };
  const struct {
    std::vector<cv::Rect> dots;
    std::optional<char> symbol;
  } table[] = {
      {{cv::Rect(92, 26, 6, 6), cv::Rect(92, 50, 6, 6)}, ':'},
      {{cv::Rect(92, 62, 6, 6)}, '.'},
      {{cv::Rect(82, 62, 6, 6)}, '.'},               // right after the seconds digit
      {{}, std::nullopt},
      {{cv::Rect(92, 12, 6, 6)}, std::nullopt},       // a speck at the top is no separator
      {{cv::Rect(20, 26, 6, 6), cv::Rect(20, 50, 6, 6)}, std::nullopt},  // dots inside a digit
  };
  for (const auto& row : table) {
    rb::FieldLayout l = digits({10, 50, 110, 150});
    l.dots = row.dots;
    const auto s = rb::find_separator(l);
    ASSERT_EQ(s.has_value(), row.symbol.has_value());
    if (s) {
      EXPECT_EQ(s->symbol, *row.symbol);
    }
  }
}

TEST(RobustClassify, GhostsWashedOutDigitsAndBlobs) {
  auto probe = [](std::array<double, 7> levels, double counter = 0.0, double ink = 200.0) {
    rb::SegmentProbe p;
    for (int i = 0; i < 7; ++i) {
      p.levels[i] = levels[i] * ink;
    }
    p.upper_counter = p.lower_counter = counter * ink;
    p.ink_level = ink;
    return p;
  };
  const std::vector<cv::Rect> boxes(2, cv::Rect(0, 0, 30, 60));
  // Ghosts at 40 % beside a 4 and a 1: both read, nothing reads 8.
  auto r = rb::classify_digits({probe({0.4, 1, 1, 0.4, 0.4, 1, 1}), probe({0.4, 1, 1, 0.4, 0.4, 0.4, 0.4})}, boxes,
                               0.5);
  EXPECT_EQ(r[0].digit, 4);
  EXPECT_EQ(r[1].digit, 1);
  // A blank position lit only by ghosts beside a lit digit is empty.
  r = rb::classify_digits({probe({0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4}, 0, 80), probe({1, 1, 1, 1, 0.4, 0.4, 1})}, boxes,
                          0.5);
  EXPECT_EQ(r[0].status, rb::DigitStatus::Empty);
  EXPECT_EQ(r[1].digit, 3);
  // Ink all over (counters too) is a blob, not an 8.
  r = rb::classify_digits({probe({1, 1, 1, 1, 1, 1, 1}, 1.0), probe({1, 1, 1, 1, 1, 1, 1}, 0.0)}, boxes, 0.5);
  EXPECT_EQ(r[0].status, rb::DigitStatus::Unknown);
  EXPECT_EQ(r[0].note, "solid");
  EXPECT_EQ(r[1].digit, 8);
  // A bar half-way between lit and unlit is not trusted.
  r = rb::classify_digits({probe({1, 1, 1, 1, 1, 1, 0.5}), probe({1, 1, 1, 1, 1, 1, 0})}, boxes, 0.5);
  EXPECT_EQ(r[0].status, rb::DigitStatus::Unknown);
  EXPECT_EQ(r[1].digit, 0);
  // A sideways pan dims every vertical bar, lit and ghosted alike: lit verticals at 55 % stand
  // barely above the horizontal ghosts at 35 %, yet a 4 and a 2 read as themselves.
  r = rb::classify_digits({probe({0.35, 0.55, 0.55, 0.35, 0.18, 0.55, 1}), probe({1, 0.55, 0.18, 1, 0.55, 0.18, 1})},
                          boxes, 0.5);
  EXPECT_EQ(r[0].status, rb::DigitStatus::Digit);
  EXPECT_EQ(r[0].digit, 4);
  EXPECT_EQ(r[1].status, rb::DigitStatus::Digit);
  EXPECT_EQ(r[1].digit, 2);
  // A field of wide 1s has no lit horizontal to measure the verticals against: nothing is raised,
  // and the ghosts of the horizontals stay unlit.
  r = rb::classify_digits({probe({0.3, 1, 1, 0.3, 0.3, 0.3, 0.3}), probe({0.3, 1, 1, 0.3, 0.3, 0.3, 0.3})}, boxes, 0.5);
  EXPECT_EQ(r[0].digit, 1);
  EXPECT_EQ(r[1].digit, 1);
}

// A digit alone in its field: no other digit shows what an unlit bar looks like, so a 0 or a 9
// whose dark bar caught light from blur or a lean must not read as a confident 8, while an 8 whose
// bars are all near its ink, even with a dimmer upper-right bar, still reads.
TEST(RobustClassify, LoneDigitsAreNotEightsByBorrowedLight) {
  const struct {
    std::array<double, 7> levels;
    std::optional<int> digit;  // nullopt: refused
  } cases[] = {
      {{1.0, 0.99, 0.77, 0.91, 0.8, 0.85, 0.64}, std::nullopt},  // a 0 with light in its middle bar
      {{1.0, 1.0, 0.89, 1.0, 0.92, 0.99, 0.71}, std::nullopt},
      {{0.91, 1.0, 1.0, 1.0, 0.72, 1.0, 1.0}, std::nullopt},     // a 9 with light in its lower-left bar
      {{1.0, 0.7, 0.91, 0.87, 1.0, 1.0, 1.0}, 8},
      {{0.96, 1.0, 0.65, 0.7, 0.81, 0.87, 0.84}, 8},
      {{1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0}, 8},
      {{1.0, 1.0, 0.85, 1.0, 0.9, 1.0, 0.1}, 0},
  };
  for (const auto& c : cases) {
    rb::SegmentProbe p;
    for (int i = 0; i < 7; ++i) {
      p.levels[i] = c.levels[i] * 200.0;
    }
    p.ink_level = 200.0;
    const auto r = rb::classify_digits({p}, {cv::Rect(0, 0, 30, 60)}, 0.5);
    EXPECT_EQ(r[0].status == rb::DigitStatus::Digit ? r[0].digit : std::nullopt, c.digit)
        << c.levels[4] << " " << c.levels[6];
  }
}

TEST(RobustField, ClocksOfEveryKind) {
  const struct {
    std::string text;
    Look look;
    std::string value;
  } table[] = {
      {"12:34", {}, "12:34"},
      {" 5:07", {}, "5:07"},
      {"45.6 ", {}, "45.6"},
      {"11:37", {}, "11:37"},
      {"48.5 ", {{40, 44, 40}, {186, 196, 186}, 0.0}, "48.5"},
      {"14:41", {{40, 40, 235}, {18, 14, 12}, 0.15}, "14:41"},
  };
  for (const auto& row : table) {
    const rb::FieldReading r = rb::read_field(clock_face(row.text, row.look), rb::FieldKind::Clock, {});
    EXPECT_TRUE(r.valid) << row.text << " " << r.detail;
    EXPECT_EQ(r.value, row.value) << row.text;
  }
}

TEST(RobustField, NothingToReadIsNeverValid) {
  for (const cv::Scalar& panel : {cv::Scalar(250, 250, 250), cv::Scalar(16, 14, 12)}) {
    const cv::Mat blank(70, 160, CV_8UC3, panel);
    for (rb::FieldKind kind : {rb::FieldKind::Clock, rb::FieldKind::Pair, rb::FieldKind::Single}) {
      const rb::FieldReading r = rb::read_field(blank, kind, {});
      EXPECT_FALSE(r.valid);
      EXPECT_EQ(r.detail, "no_ink");
    }
  }
}
