#include "launcher/platform/posix/data_root.hpp"

#include <cstdlib>

namespace tessaryn::launcher::posix {

namespace {

bool is_absolute(const char* value) { return value != nullptr && value[0] == '/'; }

}  // namespace

std::optional<std::string> data_root_from(const char* localappdata, const char* xdg_data_home, const char* home) {
  if (is_absolute(localappdata)) return std::string(localappdata);
  if (is_absolute(xdg_data_home)) return std::string(xdg_data_home);
  if (is_absolute(home)) {
    std::string root(home);
    if (root.back() != '/') root.push_back('/');
    return root + ".local/share";
  }
  return std::nullopt;
}

std::optional<std::string> data_root_from_environment() {
  return data_root_from(std::getenv("LOCALAPPDATA"), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

}  // namespace tessaryn::launcher::posix
