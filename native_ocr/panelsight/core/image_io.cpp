#include "panelsight/core/image_io.hpp"

#include <opencv2/imgcodecs.hpp>

#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaryn::panelsight {

cv::Mat decode_bgr_image(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return {};
  }
  // Only a regular file is read: opening a FIFO or a device without O_NONBLOCK could wait forever
  // for a writer. The decoder then reads the very file that was checked, through its descriptor.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return {};
  }
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  cv::Mat image;
  if (!regular) {
    ::close(fd);
    return {};
  }
  const std::string checked = "/proc/self/fd/" + std::to_string(fd);
  const std::string& source = ::access(checked.c_str(), R_OK) == 0 ? checked : path;
  try {
    image = cv::imread(source, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    // imread checks the declared frame size outside its own guard; an oversized or corrupt header
    // is just another undecodable file here.
    image.release();
  }
  ::close(fd);
  if (image.empty() || image.type() != CV_8UC3) {
    return {};
  }
  return image;
}

}  // namespace tessaryn::panelsight
