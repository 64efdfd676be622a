// Whole-file publication and reading. The agent reads the published files from another process at
// any moment; writing a temporary file and moving it over the target is what lets it see either the
// old or the new complete file, never a partial one.
#pragma once

#include <string>
#include <string_view>

#include "receivers/common/receiver_kind.hpp"

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
// publishes, and only when that fails too is the source left where it is. lancapture then sets
// errno to EACCES so that its message names the likely cause; wancapture leaves errno alone.
inline constexpr int kReplaceAttempts = 20;
inline constexpr int kReplaceRetryPauseMs = 5;
bool replace_file_with_retry(const std::string& source, const std::string& target, Receiver receiver,
                             const FileOps& ops = system_file_ops());

// The target's temporary twin for documents: the target path with ".tmp" appended.
std::string document_temp_path(const std::string& target);

// Replaces `target` with exactly `bytes` through its temporary twin, committed to disk before the
// move. Failures are reported on standard error in the program's own words and return false; the
// previous target stays in place and the temporary file is removed (except when it never opened).
bool write_text_atomically(const std::string& target, std::string_view bytes, Receiver receiver,
                           const FileOps& ops = system_file_ops());

// The whole content, byte for byte; empty when the file cannot be opened or read.
std::string read_whole_file(const std::string& path);

}  // namespace tessaryn::receivers
