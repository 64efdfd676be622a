// One copy of a receiver at a time. On Windows this is the named mutex `Local\<name>`, owned by the
// first copy; on POSIX an exclusive lock on the file `<name>.lock` in the working directory, which
// the system releases when the holder exits however it exits, so a crashed copy never blocks the next.
// platform/posix_single_instance.cpp is built here; platform/windows_single_instance.cpp is the
// named-mutex version.
#pragma once

#include <cstdint>
#include <string>

namespace tessaryn::receivers::platform {

class SingleInstance {
 public:
  // Tries to become the one running copy; `held()` tells whether it did. A lock that cannot be
  // created counts as held by another copy, as a mutex that cannot be created does.
  explicit SingleInstance(const std::string& name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  bool held() const { return held_; }

 private:
  std::intptr_t handle_ = -1;
  bool held_ = false;
};

}  // namespace tessaryn::receivers::platform
