#include "launcher/page_url.hpp"

namespace tessaryn::launcher {

namespace {

constexpr std::string_view kPagePrefix = "http://127.0.0.1:";

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool is_agent_page_url(std::string_view text) {
  if (text.substr(0, kPagePrefix.size()) != kPagePrefix) return false;
  std::string_view port = text.substr(kPagePrefix.size());
  if (!port.empty() && port.back() == '/') port.remove_suffix(1);
  if (port.empty()) return false;
  for (char c : port) {
    if (!is_decimal_digit(c)) return false;
  }
  return true;
}

std::string_view without_trailing_line_ends(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  return text;
}

std::optional<std::string> page_url_from_file(std::string_view bytes) {
  if (bytes.size() > kPageUrlByteLimit) return std::nullopt;
  std::string_view text = without_trailing_line_ends(bytes);
  if (!is_agent_page_url(text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> version_from_file(std::string_view bytes) {
  std::string_view text = bytes.substr(0, kVersionByteLimit);
  text = text.substr(0, text.find('\0'));
  text = without_trailing_line_ends(text);
  if (text.empty()) return std::nullopt;
  std::string utf8;
  utf8.reserve(text.size() * 2);
  for (char c : text) {
    auto code = static_cast<unsigned char>(c);
    if (code < 0x80) {
      utf8.push_back(static_cast<char>(code));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return utf8;
}

}  // namespace tessaryn::launcher
