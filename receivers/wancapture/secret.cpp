#include "receivers/wancapture/secret.hpp"

#include <cstring>

#include "receivers/common/platform.hpp"

namespace tessaryn::wancapture {

namespace platform = receivers::platform;

void Passphrase::assign(const std::uint8_t* bytes, std::size_t size) {
  wipe();
  if (size > kMaxPassphraseBytes) return;
  if (size > 0) std::memcpy(bytes_.data(), bytes, size);
  size_ = size;
}

void Passphrase::wipe() {
  platform::wipe_memory(bytes_.data(), bytes_.size());
  size_ = 0;
}

bool passphrase_length_acceptable(std::size_t length) {
  return length == 0 || (length >= kMinPassphraseBytes && length <= kMaxPassphraseBytes);
}

long DescriptorSecretSource::read(void* buffer, std::size_t size) {
  return platform::read_descriptor(descriptor_, buffer, size);
}
// Standard output and standard error stay open whatever descriptor the starter named: the program
// still has to say why it refused the record, and every later line goes there too.
void DescriptorSecretSource::close() {
  if (descriptor_ == 1 || descriptor_ == 2) return;
  platform::close_descriptor(descriptor_);
}

long HandleSecretSource::read(void* buffer, std::size_t size) { return platform::read_handle(handle_, buffer, size); }
void HandleSecretSource::close() { platform::close_handle(handle_); }

namespace {

// Partial reads are accumulated; an error or an early end fails the whole read.
bool read_exactly(SecretSource& source, std::uint8_t* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const long n = source.read(buffer + done, size - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Wipes its buffer on every way out of the intake.
struct RecordBuffer {
  std::array<std::uint8_t, kMaxPassphraseBytes> bytes{};
  ~RecordBuffer() { platform::wipe_memory(bytes.data(), bytes.size()); }
};

}  // namespace

SecretIntake read_secret_record(SecretSource& source, Passphrase& passphrase) {
  passphrase.wipe();
  std::uint8_t header[4] = {};
  RecordBuffer record;
  SecretIntake outcome = SecretIntake::accepted;
  std::size_t length = 0;
  if (!read_exactly(source, header, sizeof header)) {
    outcome = SecretIntake::unreadable;
  } else {
    length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) | (std::size_t{header[2]} << 8) |
             std::size_t{header[3]};
    if (length > kMaxPassphraseBytes || !read_exactly(source, record.bytes.data(), length)) {
      outcome = SecretIntake::unreadable;
    } else if (!passphrase_length_acceptable(length)) {
      outcome = SecretIntake::invalid_length;
    }
  }
  source.close();
  if (outcome == SecretIntake::accepted) passphrase.assign(record.bytes.data(), length);
  return outcome;
}

const char* secret_intake_message(SecretIntake intake) {
  switch (intake) {
    case SecretIntake::accepted: return nullptr;
    case SecretIntake::unreadable: return "Can't read this source\n";
    case SecretIntake::invalid_length: return "Invalid passphrase length\n";
  }
  return nullptr;
}

std::int32_t effective_key_length(const Settings& settings, const Passphrase& passphrase) {
  if (passphrase.empty()) return 0;
  return settings.key_length == 0 ? 32 : settings.key_length;
}

}  // namespace tessaryn::wancapture
