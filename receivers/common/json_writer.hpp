// The published JSON documents: one member per line, two-space indent, fixed member order, nothing
// ever left out. The agent's readers rely on these exact bytes, so the text is built here and
// nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace tessaryn::receivers {

// The two receivers write the same layout but not every byte alike, and the agent's pages depend on
// each program's own variant: the style says how, each program holds its own.
enum class ControlEscapes {
  short_forms,  // a backspace as \b and a form feed as \f
  unicode,      // both as \u00XX, like every other control byte
};
enum class FloatNotation {
  significant17,  // general notation with 17 significant digits
  fixed3,         // fixed notation with exactly 3 decimals
};
struct JsonStyle {
  ControlEscapes escapes = ControlEscapes::unicode;
  FloatNotation floats = FloatNotation::fixed3;
};

// Escaped text without the surrounding quotes. Bytes from 32 up pass unchanged (UTF-8 is neither
// checked nor repaired); the style decides how a backspace and a form feed are written.
std::string json_escape(std::string_view bytes, JsonStyle style);

// `null` for an empty text, else the quoted escaped text.
std::string json_string_or_null(std::string_view bytes, JsonStyle style);

// A floating value in the style's notation. A value JSON cannot express (infinite or NaN) is written
// as null rather than as invalid JSON.
std::string json_number(double value, JsonStyle style);

class JsonDocument {
 public:
  explicit JsonDocument(JsonStyle style) : style_(style) {}

  JsonDocument& text(std::string_view key, std::string_view value);
  JsonDocument& optional_text(std::string_view key, std::string_view value);
  JsonDocument& boolean(std::string_view key, bool value);
  JsonDocument& integer(std::string_view key, std::int64_t value);
  JsonDocument& number(std::string_view key, double value);
  JsonDocument& optional_number(std::string_view key, std::optional<double> value);
  JsonDocument& null(std::string_view key);
  // A value already written as JSON (a nested array or object built by the caller).
  JsonDocument& raw(std::string_view key, std::string_view json);

  // The whole document, closing brace and final line feed included.
  std::string finish() const;

 private:
  void member(std::string_view key, std::string_view json);

  JsonStyle style_;
  std::string body_;
};

}  // namespace tessaryn::receivers
