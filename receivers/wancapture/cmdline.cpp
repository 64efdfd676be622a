#include "receivers/wancapture/cmdline.hpp"

#include <array>
#include <limits>

namespace tessaryn::wancapture {

const char kUsageText[] =
    "usage: wancapture [--port 9000] [--latency 120]\n"
    "                  [--key-length 32] [--stream-id TEXT]\n"
    "                  [--secret-fd N] [--secret-handle N]\n"
    "                  [--preview app/static/srt_preview.jpg]\n"
    "                  [--status app/static/srt_status.json]\n"
    "Listens on IPv4 0.0.0.0 for one SRT caller.\n"
    "A passphrase is read from --secret-fd, never from the command line.\n";

namespace {

template <typename Int>
Int parse_saturating(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated toward the sign so that the most negative value is reachable without overflow.
  Int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const Int digit = static_cast<Int>(text[i] - '0');
    if (negative) {
      if (value < (std::numeric_limits<Int>::min() + digit) / 10) return std::numeric_limits<Int>::min();
      value = static_cast<Int>(value * 10 - digit);
    } else {
      if (value > (std::numeric_limits<Int>::max() - digit) / 10) return std::numeric_limits<Int>::max();
      value = static_cast<Int>(value * 10 + digit);
    }
  }
  return value;
}

bool settings_valid(const Settings& s) {
  return s.port >= 1 && s.port <= 65535 && s.latency_ms >= 1 && s.latency_ms <= 8000 &&
         output_path_acceptable(s.preview_path) && output_path_acceptable(s.status_path) &&
         stream_id_acceptable(s.stream_id) && key_length_supported(s.key_length) && s.secret_fd >= -1 &&
         s.secret_handle >= -1;
}

CommandLine refusal(std::string message) {
  CommandLine result;
  result.action = CommandAction::exit;
  result.exit_code = kExitRefused;
  result.message = std::move(message);
  return result;
}

}  // namespace

std::int32_t parse_int32(std::string_view text) { return parse_saturating<std::int32_t>(text); }
std::int64_t parse_int64(std::string_view text) { return parse_saturating<std::int64_t>(text); }

bool output_path_acceptable(std::string_view path) {
  static constexpr std::array<std::string_view, 4> kOthersFiles = {"preview.jpg", "ndi_preview.jpg",
                                                                   "working_preview.jpg", "ndi_status.json"};
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  const auto separator = path.find_last_of("/\\");
  const std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
  for (const auto other : kOthersFiles) {
    if (name == other) return false;
  }
  return true;
}

bool stream_id_acceptable(std::string_view stream_id) {
  return stream_id.size() <= kMaxStreamIdBytes && stream_id.find('\0') == std::string_view::npos;
}

bool key_length_supported(std::int32_t key_length) {
  return key_length == 0 || key_length == 16 || key_length == 24 || key_length == 32;
}

CommandLine parse_command_line(const std::vector<std::string>& arguments) {
  CommandLine result;
  Settings& s = result.settings;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--self-test") {
      result.action = CommandAction::self_test;
      return result;
    }
    if (option == "--help") {
      result.action = CommandAction::exit;
      result.exit_code = kExitStopped;
      result.message = kUsageText;
      return result;
    }
    const bool takes_value = option == "--port" || option == "--latency" || option == "--key-length" ||
                             option == "--stream-id" || option == "--secret-fd" || option == "--secret-handle" ||
                             option == "--preview" || option == "--status";
    if (!takes_value || i + 1 == arguments.size()) return refusal(kUsageText);
    const std::string& value = arguments[++i];
    if (option == "--port") s.port = parse_int32(value);
    else if (option == "--latency") s.latency_ms = parse_int32(value);
    else if (option == "--key-length") s.key_length = parse_int32(value);
    else if (option == "--stream-id") s.stream_id = value;
    else if (option == "--secret-fd") s.secret_fd = parse_int32(value);
    else if (option == "--secret-handle") s.secret_handle = parse_int64(value);
    else if (option == "--preview") s.preview_path = value;
    else s.status_path = value;
  }
  if (!settings_valid(s)) {
    // One message only: the two rules with their own wording come before the usage text.
    if (!stream_id_acceptable(s.stream_id)) return refusal("Stream ID is too long\n");
    if (!key_length_supported(s.key_length)) return refusal("Unsupported SRT key length\n");
    return refusal(kUsageText);
  }
  return result;
}

}  // namespace tessaryn::wancapture
