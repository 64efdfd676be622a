// The Windows side of the single-instance rule (built by the Windows build): a named mutex in the
// user's session, owned from creation by the first copy.
#include <windows.h>

#include "receivers/common/single_instance.hpp"

namespace tessaryn::receivers::platform {

SingleInstance::SingleInstance(const std::string& name) {
  const std::string full = "Local\\" + name;
  HANDLE mutex = ::CreateMutexA(nullptr, TRUE, full.c_str());
  if (mutex == nullptr) return;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  held_ = true;
}

SingleInstance::~SingleInstance() {
  if (!held_) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
}

}  // namespace tessaryn::receivers::platform
