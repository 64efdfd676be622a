// Where the launcher and the agent meet on disk: one per-user folder, `<data root>/Tessaryn/`.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn::launcher {

inline constexpr std::string_view kPageUrlFile = "tessaryn-url";
inline constexpr std::string_view kVersionFile = "tessaryn-version.txt";
inline constexpr std::string_view kAgentOutputLog = "tray-agent.log";
inline constexpr std::string_view kAgentErrorLog = "tray-agent-error.log";

// The receivers run with `<folder>/runtime` as their working directory and resolve their control
// files against it, so these two name the files each receiver watches.
inline constexpr std::string_view kNdiStopRequest = "runtime/app/static/ndi_stop.request";
inline constexpr std::string_view kSrtStopRequest = "runtime/app/static/srt_stop.request";

// Paths are held to what fits the Windows path buffer (260 UTF-16 units with the terminator), on
// every system, so that a folder layout that works here works there too.
inline constexpr std::size_t kPathBufferUnits = 260;

// Length of UTF-8 text in UTF-16 units; a malformed byte counts as one unit.
std::size_t utf16_units(std::string_view utf8);

class LauncherFiles {
 public:
  // `data_root` is the per-user data folder, or none when it cannot be had; `separator` is the
  // system's path separator, which replaces every "/" of the relative names above.
  LauncherFiles(std::optional<std::string> data_root, char separator);

  // `<data root>/Tessaryn`, or none when there is no data root or the path would not fit.
  std::optional<std::string> folder() const;

  // `<data root>/Tessaryn/<relative>`, or none as for folder(). Every file operation that needs a
  // path it cannot have is skipped by the caller, silently.
  std::optional<std::string> file(std::string_view relative) const;

 private:
  std::optional<std::string> fitting(std::string path) const;

  std::optional<std::string> data_root_;
  char separator_;
};

}  // namespace tessaryn::launcher
