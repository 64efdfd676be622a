#include "receivers/wancapture/log_filter.hpp"

#include <srt/srt.h>  // also the log levels, which are syslog's on every platform

#include <cstdio>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace tessaryn::wancapture {

std::atomic<bool> encryption_mismatch{false};
std::atomic<bool> local_option_refused{false};

namespace {

std::string_view log_passphrase;

}  // namespace

std::string redact(std::string_view text, std::string_view secret) {
  if (secret.empty() || text.size() < secret.size()) return std::string(text);
  std::vector<bool> covered(text.size(), false);
  bool any = false;
  for (auto at = text.find(secret); at != std::string_view::npos; at = text.find(secret, at + 1)) {
    for (std::size_t i = at; i < at + secret.size(); ++i) covered[i] = true;
    any = true;
  }
  if (!any) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (!covered[i]) {
      out += text[i++];
      continue;
    }
    out += kRedacted;
    while (i < text.size() && covered[i]) ++i;
  }
  if (out.find(secret) != std::string::npos) return std::string(kRedacted);
  return out;
}

bool reports_encryption_mismatch(std::string_view message) {
  // The last text is SRT's rejection of a caller that brings no passphrase where one is set, or one
  // where none is: the same mismatch seen from the other side.
  return message.find("Incorrect passphrase") != std::string_view::npos ||
         message.find("SRTO_PASSPHRASE") != std::string_view::npos ||
         message.find("Password required or unexpected") != std::string_view::npos;
}

bool reports_local_option_refusal(std::string_view message) {
  // The SRT protocol's words when the library refuses an option while the socket is set up, before
  // any caller is heard of.
  return message.find("failed to set option") != std::string_view::npos;
}

void set_log_passphrase(std::string_view passphrase) { log_passphrase = passphrase; }

std::optional<std::string> filter_library_message(int level, std::string text) {
  if (level > kLibraryErrorLevel) return std::nullopt;
  if (!log_passphrase.empty()) text = redact(text, log_passphrase);
  if (text.size() > kMaxLogMessageBytes) text.resize(kMaxLogMessageBytes);
  if (reports_encryption_mismatch(text)) encryption_mismatch.store(true);
  if (reports_local_option_refusal(text)) local_option_refused.store(true);
  return text;
}

void ffmpeg_log_filter(void*, int level, const char* format, va_list arguments) {
  // FFmpeg keeps colour hints above the low byte of the level.
  level &= 0xff;
  if (level > kLibraryErrorLevel || format == nullptr) return;
  va_list measure;
  va_copy(measure, arguments);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) return;
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  text.resize(static_cast<std::size_t>(needed));
  if (auto filtered = filter_library_message(level, std::move(text))) std::fputs(filtered->c_str(), stderr);
}

void srt_log_filter(void*, int level, const char*, int, const char*, const char* message) {
  if (message == nullptr) return;
  std::string text = message;
  // SRT tells of a rejected handshake only as a warning, which is below what gets printed; the
  // mismatch is noted whatever the level (the text is searched after redaction in any case).
  if (level > LOG_ERR) {
    if (!log_passphrase.empty()) text = redact(text, log_passphrase);
    if (reports_encryption_mismatch(text)) encryption_mismatch.store(true);
    return;
  }
  if (text.empty() || text.back() != '\n') text += '\n';
  if (auto filtered = filter_library_message(AV_LOG_ERROR, std::move(text))) std::fputs(filtered->c_str(), stderr);
}

void install_log_filter() {
  av_log_set_callback(ffmpeg_log_filter);
  // SRT writes to standard error on its own unless given a handler; its messages must be filtered too.
  srt_setloglevel(LOG_WARNING);
  srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_THREADNAME | SRT_LOGF_DISABLE_EOL);
  srt_setloghandler(nullptr, srt_log_filter);
}

}  // namespace tessaryn::wancapture
