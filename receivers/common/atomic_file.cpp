#include "receivers/common/atomic_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

const FileOps& system_file_ops() {
  static const FileOps ops{platform::move_file_replacing, platform::copy_file_replacing, platform::delete_file,
                           platform::sleep_ms};
  return ops;
}

bool replace_file_with_retry(const std::string& source, const std::string& target, Receiver receiver,
                             const FileOps& ops) {
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    if (ops.move_replacing(source, target)) return true;
    ops.sleep_ms(kReplaceRetryPauseMs);
  }
  if (ops.copy_replacing(source, target)) {
    ops.delete_file(source);
    return true;
  }
  if (receiver == Receiver::lancapture) errno = EACCES;
  return false;
}

std::string document_temp_path(const std::string& target) { return target + ".tmp"; }

bool write_text_atomically(const std::string& target, std::string_view bytes, Receiver receiver,
                           const FileOps& ops) {
  const bool lan = receiver == Receiver::lancapture;
  const std::string temp = document_temp_path(target);

  std::FILE* file = std::fopen(temp.c_str(), "wb");
  if (file == nullptr) {
    if (lan) {
      std::fprintf(stderr, "Impossible d'ouvrir %s: %s\n", temp.c_str(), std::strerror(errno));
    } else {
      std::fprintf(stderr, "cannot open %s\n", temp.c_str());
    }
    return false;
  }
  const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
  bool ok = written == bytes.size();
  ok = std::fflush(file) == 0 && ok;
  ok = platform::commit_file(file) && ok;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    if (lan) std::fprintf(stderr, "Impossible d'écrire %s de façon atomique.\n", target.c_str());
    ops.delete_file(temp);
    return false;
  }

  if (!replace_file_with_retry(temp, target, receiver, ops)) {
    if (lan) std::fprintf(stderr, "Impossible de remplacer %s: %s\n", target.c_str(), std::strerror(errno));
    ops.delete_file(temp);
    return false;
  }
  return true;
}

std::string read_whole_file(const std::string& path) {
  std::string content;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  // A read that broke off half-way is not the file's content; callers treat empty as "no file".
  if (failed) content.clear();
  return content;
}

}  // namespace tessaryn::receivers
