// srt_status.json: what the agent shows the operator about the SRT link.
#pragma once

#include <string>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/json_writer.hpp"

namespace tessaryn::wancapture {

// wancapture's documents: control bytes as \u00XX, floating values with 3 decimals.
inline constexpr receivers::JsonStyle kJsonStyle{receivers::ControlEscapes::unicode,
                                                 receivers::FloatNotation::fixed3};

enum class LinkState { listening, connecting, connected, error, offline };
const char* state_name(LinkState state);

struct StatusRecord {
  LinkState state = LinkState::offline;
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

// wancapture's words for a publication that did not land: only a temporary file that cannot be
// opened is reported, with its path.
void report_publish_failure(const receivers::PublishResult& result);

// Publishes a document and reports a failure in wancapture's words; the next publication tries again.
bool publish_document(const std::string& path, const std::string& bytes);

// The record and the file it is published to. A failed publication is reported and otherwise
// ignored: the next one tries again.
class StatusPublisher {
 public:
  StatusPublisher(std::string path, int port);

  StatusRecord& record() { return record_; }
  const StatusRecord& record() const { return record_; }
  LinkState state() const { return record_.state; }

  void set_state(LinkState state, std::string error = {});  // does not publish
  bool publish();

 private:
  std::string path_;
  StatusRecord record_;
};

}  // namespace tessaryn::wancapture
