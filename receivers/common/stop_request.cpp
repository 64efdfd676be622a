#include "receivers/common/stop_request.hpp"

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

std::atomic<int> keep_running{1};

bool stop_file_has_content(const std::string& request_path) {
  const platform::FileRead read = read_control_file(request_path);
  return read.status == platform::ReadStatus::too_large ||
         (read.status == platform::ReadStatus::ok && !read.bytes.empty());
}

bool stop_file_exists(const std::string& request_path) { return platform::file_exists(request_path); }

}  // namespace tessaryn::receivers
