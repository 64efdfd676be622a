// srt_status.json: what the agent shows the operator about the SRT link.
#pragma once

#include <string>

namespace tessaryn::wancapture {

struct StatusRecord {
  std::string state = "offline";  // "listening", "connecting", "connected", "error", "offline"
  int port = 0;
  int width = 0;  // of the last published preview, after downscaling
  int height = 0;
  int frame_rate_n = 0;
  int frame_rate_d = 0;
  bool has_last_frame = false;
  double last_frame_time = 0.0;  // Unix seconds
  std::string decoder;           // "native" or "videotoolbox"
  std::string error;
};

std::string status_document(const StatusRecord& status);

// The record and the file it is published to. A failed publication is reported by the writer and
// otherwise ignored: the next one tries again.
class StatusPublisher {
 public:
  StatusPublisher(std::string path, int port);

  StatusRecord& record() { return record_; }
  const StatusRecord& record() const { return record_; }
  bool in_state(const char* state) const { return record_.state == state; }

  void set_state(const char* state, const char* error = "");  // does not publish
  bool publish();

 private:
  std::string path_;
  StatusRecord record_;
};

}  // namespace tessaryn::wancapture
