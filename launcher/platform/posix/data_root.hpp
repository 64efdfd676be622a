// Which folder plays the part of %LOCALAPPDATA% on a POSIX desktop.
#pragma once

#include <optional>
#include <string>

namespace tessaryn::launcher::posix {

// LOCALAPPDATA when it is set, else the XDG data folder ($XDG_DATA_HOME, else ~/.local/share).
// The agent's working directory is not the launcher's, so a relative folder would name two
// different places for the two of them: only absolute values count, and an empty or relative one
// is passed over as if unset. None when nothing is left.
std::optional<std::string> data_root_from(const char* localappdata, const char* xdg_data_home, const char* home);

// The same rule over this process's environment.
std::optional<std::string> data_root_from_environment();

}  // namespace tessaryn::launcher::posix
