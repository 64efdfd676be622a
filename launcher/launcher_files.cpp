#include "launcher/launcher_files.hpp"

#include <utility>

namespace tessaryn::launcher {

std::size_t utf16_units(std::string_view utf8) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
    if (i + length > utf8.size()) length = 1;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) length = 1;
    }
    // Characters beyond the basic plane take a surrogate pair.
    units += length == 4 ? 2 : 1;
    i += length;
  }
  return units;
}

LauncherFiles::LauncherFiles(std::optional<std::string> data_root, char separator)
    : data_root_(std::move(data_root)), separator_(separator) {}

std::optional<std::string> LauncherFiles::fitting(std::string path) const {
  if (utf16_units(path) >= kPathBufferUnits) return std::nullopt;
  return path;
}

std::optional<std::string> LauncherFiles::folder() const {
  if (!data_root_) return std::nullopt;
  return fitting(*data_root_ + separator_ + "Tessaryn");
}

std::optional<std::string> LauncherFiles::file(std::string_view relative) const {
  if (!data_root_) return std::nullopt;
  std::string path = *data_root_ + separator_ + "Tessaryn" + separator_;
  for (char c : relative) path.push_back(c == '/' ? separator_ : c);
  return fitting(std::move(path));
}

}  // namespace tessaryn::launcher
