#include "receivers/wancapture/status.hpp"

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/json_writer.hpp"

namespace tessaryn::wancapture {

using receivers::JsonDocument;
using receivers::Receiver;

std::string status_document(const StatusRecord& s) {
  JsonDocument doc(Receiver::wancapture);
  doc.text("state", s.state)
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

StatusPublisher::StatusPublisher(std::string path, int port) : path_(std::move(path)) { record_.port = port; }

void StatusPublisher::set_state(const char* state, const char* error) {
  record_.state = state;
  record_.error = error;
}

bool StatusPublisher::publish() {
  return receivers::write_text_atomically(path_, status_document(record_), Receiver::wancapture);
}

}  // namespace tessaryn::wancapture
