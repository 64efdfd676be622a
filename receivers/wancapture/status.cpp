#include "receivers/wancapture/status.hpp"

#include <cstdio>

namespace tessaryn::wancapture {

using receivers::JsonDocument;

const char* state_name(LinkState state) {
  switch (state) {
    case LinkState::listening: return "listening";
    case LinkState::connecting: return "connecting";
    case LinkState::connected: return "connected";
    case LinkState::error: return "error";
    case LinkState::offline: return "offline";
  }
  return "offline";
}

std::string status_document(const StatusRecord& s) {
  JsonDocument doc(kJsonStyle);
  doc.text("state", state_name(s.state))
      .integer("port", s.port)
      .integer("width", s.width)
      .integer("height", s.height)
      .integer("frame_rate_n", s.frame_rate_n)
      .integer("frame_rate_d", s.frame_rate_d);
  if (s.has_last_frame) {
    doc.number("last_frame_time", s.last_frame_time);
  } else {
    doc.null("last_frame_time");
  }
  doc.optional_text("decoder", s.decoder).optional_text("error", s.error);
  return doc.finish();
}

void report_publish_failure(const receivers::PublishResult& result) {
  if (result.failure == receivers::PublishFailure::open_temporary) {
    std::fprintf(stderr, "cannot open %s\n", result.temp_path.c_str());
  }
}

bool publish_document(const std::string& path, const std::string& bytes) {
  const receivers::PublishResult result = receivers::write_text_atomically(path, bytes);
  report_publish_failure(result);
  return result.ok();
}

StatusPublisher::StatusPublisher(std::string path, int port) : path_(std::move(path)) { record_.port = port; }

void StatusPublisher::set_state(LinkState state, std::string error) {
  record_.state = state;
  record_.error = std::move(error);
}

bool StatusPublisher::publish() { return publish_document(path_, status_document(record_)); }

}  // namespace tessaryn::wancapture
