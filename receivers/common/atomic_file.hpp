// Whole-file publication and reading. The agent reads the published files from another process at
// any moment; writing a temporary file and moving it over the target is what lets it see either the
// old or the new complete file, never a partial one. Nothing here prints: a failure comes back as a
// typed value and each program words its own message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

// The file operations the replacement is built from. The default set is the system's; tests put
// their own in to reproduce a target held open by a reader, which a POSIX rename never meets.
struct FileOps {
  bool (*move_replacing)(const std::string& source, const std::string& target);
  bool (*copy_replacing)(const std::string& source, const std::string& target);
  void (*delete_file)(const std::string& path);
  void (*sleep_ms)(int milliseconds);
};
const FileOps& system_file_ops();

// A move fails while a reader holds the target open without sharing deletion. Twenty tries 5 ms
// apart (about 100 ms) ride out a reader's usual hold; after that a copy over the target still
// publishes, and only when that fails too is the source left where it is.
inline constexpr int kReplaceAttempts = 20;
inline constexpr int kReplaceRetryPauseMs = 5;
bool replace_file_with_retry(const std::string& source, const std::string& target,
                             const FileOps& ops = system_file_ops());

// The target's temporary twin for documents: the target path with ".tmp" appended.
std::string document_temp_path(const std::string& target);

// Why a publication did not land. The previous target stays in place in every case.
enum class PublishFailure {
  none,
  open_temporary,  // the temporary file could not be created; nothing else was touched
  write,           // writing, committing or closing it failed; it was removed
  replace,         // it could not be moved or copied over the target; it was removed
};
struct PublishResult {
  PublishFailure failure = PublishFailure::none;
  int error_number = 0;  // the system's error number when the temporary file could not be created
  std::string temp_path;
  bool ok() const { return failure == PublishFailure::none; }
  explicit operator bool() const { return ok(); }
};

// Replaces `target` with exactly `bytes` through its temporary twin, committed to disk before the
// move. The temporary file is created afresh (see platform::write_new_file).
PublishResult write_text_atomically(const std::string& target, std::string_view bytes,
                                    const FileOps& ops = system_file_ops());

// No control file needs more than a few KiB; anything longer is not one.
inline constexpr std::size_t kControlFileLimit = 64 * 1024;

// A control file's content, read without blocking, without following a link, from regular files
// only and up to the limit (platform::read_regular_file).
platform::FileRead read_control_file(const std::string& path);

// The whole content, byte for byte; empty when the file is missing, is no regular file, is longer
// than the limit or cannot be read.
std::string read_whole_file(const std::string& path);

}  // namespace tessaryn::receivers
