// An 8-bit single-channel cv::Mat seen as a StridedImage, for code that holds its image as a Mat and
// hands it to a core that reads any array in place.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>

#include "common/strided_image.hpp"

namespace tessaryn {

inline StridedImage view_of(const cv::Mat& gray) {
  CV_Assert(gray.type() == CV_8UC1);
  StridedImage v;
  v.data = reinterpret_cast<const std::byte*>(gray.data);
  v.type = ElementType::U8;
  v.rows = gray.rows;
  v.cols = gray.cols;
  v.row_stride = static_cast<int64_t>(gray.step[0]);
  v.col_stride = 1;
  return v;
}

}  // namespace tessaryn
