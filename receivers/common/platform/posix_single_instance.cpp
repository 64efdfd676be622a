#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "receivers/common/single_instance.hpp"

namespace tessaryn::receivers::platform {

SingleInstance::SingleInstance(const std::string& name) {
  // Opening an existing lock file changes nothing in it, so a refused second copy touches no file.
  const std::string path = name + ".lock";
  const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  int result = 0;
  while ((result = ::flock(descriptor, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (result != 0) {
    ::close(descriptor);
    return;
  }
  handle_ = descriptor;
  held_ = true;
}

SingleInstance::~SingleInstance() {
  // The file stays: removing it would let a third copy lock a fresh file while a second one still
  // holds the old, unlinked one.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace tessaryn::receivers::platform
