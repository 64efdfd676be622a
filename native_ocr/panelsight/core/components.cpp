#include "panelsight/core/components.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessaryn::panelsight {

cv::Mat remove_small_components(const cv::Mat& mask, double min_area) {
  CV_CheckTypeEQ(mask.type(), CV_8UC1, "the mask must be a single-channel 8-bit unsigned image");
  cv::Mat kept = cv::Mat::zeros(mask.size(), CV_8UC1);
  if (mask.empty()) {
    return kept;
  }
  // An 8-connected flood fill per component. The masks here are small (separator windows, digit
  // cells), where OpenCV's labelling with statistics costs more in setting up than in labelling.
  const int rows = mask.rows;
  const int cols = mask.cols;
  std::vector<int32_t> label(static_cast<size_t>(rows) * static_cast<size_t>(cols), 0);
  std::vector<int64_t> stack;
  std::vector<int64_t> members;
  int32_t next_label = 0;
  for (int r = 0; r < rows; ++r) {
    const uint8_t* line = mask.ptr<uint8_t>(r);
    for (int c = 0; c < cols; ++c) {
      const int64_t start = static_cast<int64_t>(r) * cols + c;
      if (line[c] == 0 || label[static_cast<size_t>(start)] != 0) {
        continue;
      }
      ++next_label;
      members.clear();
      stack.assign(1, start);
      label[static_cast<size_t>(start)] = next_label;
      while (!stack.empty()) {
        const int64_t p = stack.back();
        stack.pop_back();
        members.push_back(p);
        const auto pr = static_cast<int>(p / cols);
        const auto pc = static_cast<int>(p % cols);
        for (int nr = std::max(0, pr - 1); nr <= std::min(rows - 1, pr + 1); ++nr) {
          const uint8_t* neighbours = mask.ptr<uint8_t>(nr);
          for (int nc = std::max(0, pc - 1); nc <= std::min(cols - 1, pc + 1); ++nc) {
            const int64_t q = static_cast<int64_t>(nr) * cols + nc;
            if (neighbours[nc] != 0 && label[static_cast<size_t>(q)] == 0) {
              label[static_cast<size_t>(q)] = next_label;
              stack.push_back(q);
            }
          }
        }
      }
      if (static_cast<double>(members.size()) >= min_area) {
        for (const int64_t p : members) {
          kept.ptr<uint8_t>(static_cast<int>(p / cols))[p % cols] = 255;
        }
      }
    }
  }
  return kept;
}

}  // namespace tessaryn::panelsight
