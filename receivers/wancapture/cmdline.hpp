// wancapture's command line: options, limits, the usage text and the exit codes of a refusal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryn::wancapture {

struct Settings {
  std::int32_t port = 9000;
  std::int32_t latency_ms = 120;
  std::int32_t key_length = 0;  // 0: not given
  std::int32_t secret_fd = -1;
  std::int64_t secret_handle = -1;
  std::string stream_id;
  std::string preview_path = "app/static/srt_preview.jpg";
  std::string status_path = "app/static/srt_status.json";
};

extern const char kUsageText[];

inline constexpr int kExitStopped = 0;
inline constexpr int kExitRefused = 2;
inline constexpr std::size_t kMaxStreamIdBytes = 512;

enum class CommandAction {
  run,        // settings accepted: go on to the secret and the listening loop
  self_test,  // run the self-test now and exit with its result
  exit,       // print `message` to standard error and exit with `exit_code`
};

struct CommandLine {
  CommandAction action = CommandAction::run;
  int exit_code = 0;
  std::string message;
  Settings settings;
};

// `arguments` excludes the program name.
CommandLine parse_command_line(const std::vector<std::string>& arguments);

// Integers are read as the C runtime's atol reads them: leading white space, an optional sign, the
// decimal digits up to the first other character, 0 without digits. Values past the type's range
// stop at its bounds, as atol's do where long has 32 bits, so that no huge number wraps into range.
std::int32_t parse_int32(std::string_view text);
std::int64_t parse_int64(std::string_view text);

// Files that other programs of the system publish in the same folder are never written.
bool output_path_acceptable(std::string_view path);
bool stream_id_acceptable(std::string_view stream_id);
bool key_length_supported(std::int32_t key_length);

}  // namespace tessaryn::wancapture
