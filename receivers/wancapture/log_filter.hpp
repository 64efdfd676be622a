// Every message of the media libraries passes through here before it reaches standard error: the
// passphrase is cut out of it, and a message that tells of an encryption mismatch is noted.
#pragma once

#include <atomic>
#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn::wancapture {

inline constexpr int kLibraryErrorLevel = 16;        // FFmpeg's AV_LOG_ERROR; higher numbers say less
inline constexpr std::size_t kMaxLogMessageBytes = 2047;
inline constexpr std::string_view kRedacted = "[redacted]";

// Replaces every stretch of `text` covered by an occurrence of `secret` (overlapping ones too) with
// "[redacted]", so that no part of the secret that appears in the message survives. Should the
// markers and their neighbours happen to spell the secret again, the whole text goes.
std::string redact(std::string_view text, std::string_view secret);

// Whether a library message tells that the two ends' encryption settings differ.
bool reports_encryption_mismatch(std::string_view message);

// Whether a library message tells that this end's own SRT library refused an option it was given
// (a passphrase it does not take, for one): no caller has anything to do with it.
bool reports_local_option_refusal(std::string_view message);

// The process-wide filter state. The passphrase is fixed before any library runs; the mismatch flag
// is set from the libraries' own threads and read by the listening loop.
void set_log_passphrase(std::string_view passphrase);
extern std::atomic<bool> encryption_mismatch;
extern std::atomic<bool> local_option_refused;

// The text to print for one message, or nothing when it is dropped. `level` is on FFmpeg's scale.
// A message is redacted before it is cut to its length limit, so that the cut cannot leave the
// front of a passphrase standing in the text.
std::optional<std::string> filter_library_message(int level, std::string text);

// The adapters installed into FFmpeg's and SRT's logging.
void ffmpeg_log_filter(void* context, int level, const char* format, va_list arguments);
void srt_log_filter(void* opaque, int level, const char* file, int line, const char* area, const char* message);
void install_log_filter();

}  // namespace tessaryn::wancapture
