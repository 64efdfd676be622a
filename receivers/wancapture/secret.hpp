// The SRT passphrase reaches wancapture only as one record on an inherited descriptor or handle: a
// 4-byte big-endian length and that many bytes. It never comes from the command line, is never
// printed or written, and every buffer that held it is zeroed before it is released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "receivers/wancapture/cmdline.hpp"

namespace tessaryn::wancapture {

inline constexpr std::size_t kMinPassphraseBytes = 10;
inline constexpr std::size_t kMaxPassphraseBytes = 80;

// Fixed storage, so that no reallocation leaves a stray copy on the heap.
class Passphrase {
 public:
  Passphrase() = default;
  ~Passphrase() { wipe(); }
  Passphrase(const Passphrase&) = delete;
  Passphrase& operator=(const Passphrase&) = delete;

  void assign(const std::uint8_t* bytes, std::size_t size);  // size at most kMaxPassphraseBytes
  void wipe();
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {bytes_.data(), size_}; }
  const char* c_str() const { return bytes_.data(); }

 private:
  std::array<char, kMaxPassphraseBytes + 1> bytes_{};
  std::size_t size_ = 0;
};

// Empty (no passphrase) or 10 to 80 bytes.
bool passphrase_length_acceptable(std::size_t length);

// Where the record is read from. Reads return the byte count, 0 at the end, -1 on an error.
class SecretSource {
 public:
  virtual ~SecretSource() = default;
  virtual long read(void* buffer, std::size_t size) = 0;
  virtual void close() = 0;
};

class DescriptorSecretSource final : public SecretSource {
 public:
  explicit DescriptorSecretSource(int descriptor) : descriptor_(descriptor) {}
  long read(void* buffer, std::size_t size) override;
  void close() override;

 private:
  int descriptor_;
};

class HandleSecretSource final : public SecretSource {
 public:
  explicit HandleSecretSource(std::int64_t handle) : handle_(handle) {}
  long read(void* buffer, std::size_t size) override;
  void close() override;

 private:
  std::int64_t handle_;
};

enum class SecretIntake { accepted, unreadable, invalid_length };

// Reads one record from `source` and closes it. On `accepted` the passphrase holds the record's
// bytes (none for a zero length); otherwise it stays empty.
SecretIntake read_secret_record(SecretSource& source, Passphrase& passphrase);

// The message of a refused record, or nullptr for an accepted one.
const char* secret_intake_message(SecretIntake intake);

// The key length handed to SRT: 0 without a passphrase, else the given one or 32 when none was given.
std::int32_t effective_key_length(const Settings& settings, const Passphrase& passphrase);

}  // namespace tessaryn::wancapture
