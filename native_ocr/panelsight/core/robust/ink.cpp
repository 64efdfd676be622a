// Channel, polarity and background removal.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

#include "panelsight/core/robust/robust.hpp"

namespace tessaryn::panelsight::robust {

namespace {

struct Histogram {
  std::array<int, 256> counts{};
  int total = 0;

  void add(const cv::Mat& image, const cv::Mat& mask = cv::Mat()) {
    for (int r = 0; r < image.rows; ++r) {
      const uint8_t* row = image.ptr<uint8_t>(r);
      const uint8_t* m = mask.empty() ? nullptr : mask.ptr<uint8_t>(r);
      for (int c = 0; c < image.cols; ++c) {
        if (m == nullptr || m[c] != 0) {
          ++counts[row[c]];
          ++total;
        }
      }
    }
  }

  // Smallest value v such that at least `fraction` of the pixels are <= v.
  int percentile(double fraction) const {
    const double wanted = fraction * total;
    int seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += counts[v];
      if (seen >= wanted && seen > 0) {
        return v;
      }
    }
    return 255;
  }
};

// The panel's ring: the outer band of the crop, where an operator's zone leaves margin around the
// digits.
cv::Mat border_mask(int rows, int cols) {
  cv::Mat mask(rows, cols, CV_8U, cv::Scalar(255));
  const int by = std::max(1, rows / 10);
  const int bx = std::max(1, std::min(cols / 10, rows / 6));
  if (rows > 2 * by && cols > 2 * bx) {
    mask(cv::Rect(bx, by, cols - 2 * bx, rows - 2 * by)).setTo(0);
  }
  return mask;
}

struct Candidate {
  Channel channel;
  cv::Mat image;
};

}  // namespace

std::string_view channel_name(Channel channel) {
  switch (channel) {
    case Channel::Auto: return "auto";
    case Channel::Gray: return "gray";
    case Channel::Blue: return "blue";
    case Channel::Green: return "green";
    case Channel::Red: return "red";
    case Channel::Max: return "max";
  }
  return "auto";
}

std::string_view polarity_name(Polarity polarity) {
  switch (polarity) {
    case Polarity::Auto: return "auto";
    case Polarity::Light: return "light";
    case Polarity::Dark: return "dark";
  }
  return "auto";
}

std::optional<Channel> channel_of(std::string_view name) {
  for (Channel c : {Channel::Auto, Channel::Gray, Channel::Blue, Channel::Green, Channel::Red, Channel::Max}) {
    if (channel_name(c) == name) {
      return c;
    }
  }
  return std::nullopt;
}

std::optional<Polarity> polarity_of(std::string_view name) {
  for (Polarity p : {Polarity::Auto, Polarity::Light, Polarity::Dark}) {
    if (polarity_name(p) == name) {
      return p;
    }
  }
  return std::nullopt;
}

InkImage ink_image(const cv::Mat& crop, const Options& options) {
  InkImage out;
  // Scale to working rows first: every size rule below is in working pixels.
  const int rows = std::max(1, crop.rows);
  double scale = 1.0;
  if (rows < kMinWorkingRows) {
    scale = static_cast<double>(kMinWorkingRows) / rows;
  } else if (rows > kMaxWorkingRows) {
    scale = static_cast<double>(kMaxWorkingRows) / rows;
  }
  cv::Mat work;
  if (scale == 1.0) {
    work = crop;
  } else {
    const cv::Size size(std::max(1, static_cast<int>(std::lround(crop.cols * scale))),
                        std::max(1, static_cast<int>(std::lround(crop.rows * scale))));
    cv::resize(crop, work, size, 0, 0, scale > 1.0 ? cv::INTER_CUBIC : cv::INTER_AREA);
  }
  out.scale = static_cast<double>(work.rows) / rows;

  std::vector<Candidate> candidates;
  if (work.channels() == 3) {
    cv::Mat gray;
    cv::cvtColor(work, gray, cv::COLOR_BGR2GRAY);
    std::vector<cv::Mat> bgr;
    cv::split(work, bgr);
    cv::Mat brightest;
    cv::max(bgr[0], bgr[1], brightest);
    cv::max(brightest, bgr[2], brightest);
    candidates = {{Channel::Gray, gray}, {Channel::Red, bgr[2]}, {Channel::Green, bgr[1]},
                  {Channel::Blue, bgr[0]}, {Channel::Max, brightest}};
  } else {
    candidates = {{Channel::Gray, work.channels() == 1 ? work : cv::Mat()}};
    if (work.channels() != 1) {
      cv::Mat first;
      cv::extractChannel(work, first, 0);
      candidates[0].image = first;
    }
  }

  // Each channel's separation: how far its extremes stand from the panel seen in the border ring,
  // on the bright side (lit ink) and on the dark side (LCD ink). A red LED shows most of its
  // contrast in the red channel, a gray conversion keeps only a third of it.
  const cv::Mat ring = border_mask(work.rows, work.cols);
  double best_score = -1.0;
  const Candidate* chosen = &candidates.front();
  Polarity polarity = Polarity::Light;
  for (const Candidate& c : candidates) {
    if (options.channel != Channel::Auto && c.channel != options.channel) {
      continue;
    }
    Histogram all;
    all.add(c.image);
    Histogram panel;
    panel.add(c.image, ring);
    const int panel_level = panel.percentile(0.5);
    const double light = all.percentile(0.99) - panel_level;
    const double dark = panel_level - all.percentile(0.01);
    Polarity p = options.polarity;
    if (p == Polarity::Auto) {
      p = light >= dark ? Polarity::Light : Polarity::Dark;
    }
    const double score = p == Polarity::Light ? light : dark;
    if (score > best_score) {
      best_score = score;
      chosen = &c;
      polarity = p;
    }
  }
  out.channel = chosen->channel;
  out.polarity = polarity;

  cv::Mat ink = chosen->image.clone();
  if (polarity == Polarity::Dark) {
    cv::bitwise_not(ink, ink);
  }
  // Camera noise and dot-matrix texture: a light blur at working scale.
  cv::GaussianBlur(ink, ink, cv::Size(3, 3), 0);
  // The panel under the digits, glare gradients included: an opening wider than any stroke keeps
  // the panel and drops the strokes; what stands above it is ink. A blob wider than that (a flooded
  // or glaring patch) is panel too: it has no strokes to read.
  const int k = std::max(5, (work.rows * 3 / 10) | 1);
  cv::Mat panel;
  cv::morphologyEx(ink, panel, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k)));
  cv::subtract(ink, panel, ink);
  out.ink = ink;

  Histogram levels;
  levels.add(ink);
  out.contrast = levels.percentile(0.98);
  cv::Mat unused;
  const double otsu = cv::threshold(ink, unused, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  // Otsu alone would split camera noise when the zone shows nothing: keep the split well clear of
  // the noise floor and within reach of the ink.
  const double floor = std::max(12.0, 0.22 * out.contrast);
  out.threshold = static_cast<int>(std::clamp(otsu, floor, std::max(floor, 0.6 * out.contrast)));
  return out;
}

cv::Mat display_binary(const InkImage& ink, int crop_cols, int crop_rows) {
  cv::Mat resized;
  if (ink.ink.cols == crop_cols && ink.ink.rows == crop_rows) {
    resized = ink.ink;
  } else {
    cv::resize(ink.ink, resized, cv::Size(crop_cols, crop_rows), 0, 0, cv::INTER_LINEAR);
  }
  cv::Mat binary;
  cv::threshold(resized, binary, ink.threshold, 255, cv::THRESH_BINARY);
  return binary;
}

}  // namespace tessaryn::panelsight::robust
