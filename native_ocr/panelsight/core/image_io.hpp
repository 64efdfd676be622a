// Loading preview stills that the receivers publish as JPEG files.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace tessaryn::panelsight {

// The file decoded as an 8-bit, three-channel BGR image whatever its own channel count, or an empty
// Mat when it is missing, unreadable or undecodable. The receivers replace the file while we read
// it, so a half-written or foreign file is an ordinary event and never an error. A path holding a
// NUL byte names no file: passed on, it would be cut short and could open a different one.
cv::Mat decode_bgr_image(const std::string& path);

}  // namespace tessaryn::panelsight
