// The published JSON documents: one member per line, two-space indent, fixed member order, nothing
// ever left out. The agent's readers rely on these exact bytes, so the text is built here and
// nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receivers/common/receiver_kind.hpp"

namespace tessaryn::receivers {

// Escaped text without the surrounding quotes. Bytes from 32 up pass unchanged (UTF-8 is neither
// checked nor repaired); the program decides how a backspace and a form feed are written.
std::string json_escape(std::string_view bytes, Receiver receiver);

// `null` for an empty text, else the quoted escaped text.
std::string json_string_or_null(std::string_view bytes, Receiver receiver);

// A floating value: 17 significant digits for lancapture, exactly 3 decimals for wancapture.
// A value JSON cannot express (infinite or NaN) is written as null rather than as invalid JSON.
std::string json_number(double value, Receiver receiver);

class JsonDocument {
 public:
  explicit JsonDocument(Receiver receiver) : receiver_(receiver) {}

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

  Receiver receiver_;
  std::string body_;
};

}  // namespace tessaryn::receivers
