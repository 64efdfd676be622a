// Menu texts that come from outside (the agent's version line) are shown as they are written.
#pragma once

#include <string>
#include <string_view>

namespace tessaryn::launcher {

// A Windows menu takes "&" as the marker of the next character's keyboard shortcut and shows "&&"
// as one "&": every "&" is doubled so that "R&D build" reads "R&D build" and not "RD build".
// GTK's plain labels take text literally and need nothing of the kind.
inline std::string literal_menu_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out.push_back(c);
    if (c == '&') out.push_back('&');
  }
  return out;
}

}  // namespace tessaryn::launcher
