#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "receivers/common/library_loader.hpp"

namespace tessaryn::receivers::platform {

namespace {
// The longest path the system takes, terminator excluded.
constexpr std::size_t kPathLimit = PATH_MAX - 1;
}  // namespace

std::string executable_folder() {
  char path[PATH_MAX + 1];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) > kPathLimit) return {};
  const std::string full(path, static_cast<std::size_t>(length));
  const auto separator = full.find_last_of('/');
  if (separator == std::string::npos) return {};
  return full.substr(0, separator);
}

std::string environment_folder(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return {};
  std::string folder(value);
  if (folder.size() > kPathLimit) return {};
  return folder;
}

std::string path_in_folder(const std::string& folder, const std::string& name) { return folder + "/" + name; }

void* load_library_file(const std::string& path) {
  // A path with a slash in it is opened as given; dlopen searches only for bare names, and
  // path_in_folder never produces one.
  if (path.find('/') == std::string::npos) return nullptr;
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* library_symbol(void* library, const char* name) { return library == nullptr ? nullptr : ::dlsym(library, name); }

void free_library(void* library) {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace tessaryn::receivers::platform
