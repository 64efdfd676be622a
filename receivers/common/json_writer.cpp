#include "receivers/common/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tessaryn::receivers {

std::string json_escape(std::string_view bytes, JsonStyle style) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool short_forms = style.escapes == ControlEscapes::short_forms;
  std::string out;
  out.reserve(bytes.size() + 8);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b':
        if (short_forms) { out += "\\b"; continue; }
        break;
      case '\f':
        if (short_forms) { out += "\\f"; continue; }
        break;
      default:
        break;
    }
    if (byte < 32) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}

std::string json_string_or_null(std::string_view bytes, JsonStyle style) {
  if (bytes.empty()) return "null";
  return "\"" + json_escape(bytes, style) + "\"";
}

std::string json_number(double value, JsonStyle style) {
  if (!std::isfinite(value)) return "null";
  // to_chars ignores the locale, so a decimal comma can never slip into a document.
  char buffer[400];
  const auto result = style.floats == FloatNotation::significant17
                          ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17)
                          : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  if (result.ec != std::errc()) return "null";
  return std::string(buffer, result.ptr);
}

void JsonDocument::member(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_ += ",\n";
  body_ += "  \"";
  body_ += json_escape(key, style_);
  body_ += "\": ";
  body_ += json;
}

JsonDocument& JsonDocument::text(std::string_view key, std::string_view value) {
  member(key, "\"" + json_escape(value, style_) + "\"");
  return *this;
}

JsonDocument& JsonDocument::optional_text(std::string_view key, std::string_view value) {
  member(key, json_string_or_null(value, style_));
  return *this;
}

JsonDocument& JsonDocument::boolean(std::string_view key, bool value) {
  member(key, value ? "true" : "false");
  return *this;
}

JsonDocument& JsonDocument::integer(std::string_view key, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  member(key, std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
  return *this;
}

JsonDocument& JsonDocument::number(std::string_view key, double value) {
  member(key, json_number(value, style_));
  return *this;
}

JsonDocument& JsonDocument::optional_number(std::string_view key, std::optional<double> value) {
  member(key, value ? json_number(*value, style_) : std::string("null"));
  return *this;
}

JsonDocument& JsonDocument::null(std::string_view key) {
  member(key, "null");
  return *this;
}

JsonDocument& JsonDocument::raw(std::string_view key, std::string_view json) {
  member(key, json);
  return *this;
}

std::string JsonDocument::finish() const {
  std::string out = "{\n";
  out += body_;
  if (!body_.empty()) out += "\n";
  out += "}\n";
  return out;
}

}  // namespace tessaryn::receivers
