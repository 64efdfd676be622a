#include "receivers/common/stop_request.hpp"

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

std::atomic<int> keep_running{1};

std::string stop_request_path_for_status(const std::string& status_path) {
  const auto separator = status_path.find_last_of("/\\");
  const std::string folder = separator == std::string::npos ? std::string() : status_path.substr(0, separator + 1);
  return folder + "srt_stop.request";
}

bool stop_requested(const std::string& request_path, Receiver receiver) {
  if (receiver == Receiver::lancapture) {
    return !read_whole_file(request_path).empty();
  }
  return platform::file_exists(request_path);
}

}  // namespace tessaryn::receivers
