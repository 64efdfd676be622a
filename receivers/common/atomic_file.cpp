#include "receivers/common/atomic_file.hpp"

namespace tessaryn::receivers {

const FileOps& system_file_ops() {
  static const FileOps ops{platform::move_file_replacing, platform::copy_file_replacing, platform::delete_file,
                           platform::sleep_ms};
  return ops;
}

bool replace_file_with_retry(const std::string& source, const std::string& target, const FileOps& ops) {
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    if (ops.move_replacing(source, target)) return true;
    ops.sleep_ms(kReplaceRetryPauseMs);
  }
  if (ops.copy_replacing(source, target)) {
    ops.delete_file(source);
    return true;
  }
  return false;
}

std::string document_temp_path(const std::string& target) { return target + ".tmp"; }

PublishResult write_text_atomically(const std::string& target, std::string_view bytes, const FileOps& ops) {
  PublishResult result;
  result.temp_path = document_temp_path(target);
  const platform::FileWrite written = platform::write_new_file(result.temp_path, bytes.data(), bytes.size(), true);
  if (written.failed_at == platform::WriteStage::open) {
    result.failure = PublishFailure::open_temporary;
    result.error_number = written.error_number;
    return result;
  }
  if (!written.ok()) {
    ops.delete_file(result.temp_path);
    result.failure = PublishFailure::write;
    result.error_number = written.error_number;
    return result;
  }
  if (!replace_file_with_retry(result.temp_path, target, ops)) {
    ops.delete_file(result.temp_path);
    result.failure = PublishFailure::replace;
  }
  return result;
}

platform::FileRead read_control_file(const std::string& path) {
  return platform::read_regular_file(path, kControlFileLimit);
}

std::string read_whole_file(const std::string& path) {
  platform::FileRead read = read_control_file(path);
  return read.status == platform::ReadStatus::ok ? std::move(read.bytes) : std::string();
}

}  // namespace tessaryn::receivers
