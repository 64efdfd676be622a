// The documents lancapture publishes, as exact bytes: the agent's page reads them as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/json_writer.hpp"
#include "receivers/lancapture/ndi_abi.hpp"

namespace tessaryn::lancapture {

// lancapture's documents: a backspace and a form feed in their short forms, floating values with 17
// significant digits.
inline constexpr receivers::JsonStyle kJsonStyle{receivers::ControlEscapes::short_forms,
                                                 receivers::FloatNotation::significant17};

enum class ReceiverState { no_source, connecting, connected, offline, error, stopped };
const char* state_name(ReceiverState state);

struct StatusRecord {
  ReceiverState state = ReceiverState::no_source;
  std::string selected_source;
  std::string active_source;
  std::string error;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t frame_rate_n = 0;
  std::int32_t frame_rate_d = 0;
  double last_frame_at = 0.0;  // wall-clock Unix seconds; 0 until a frame arrived
};

std::string status_document(const StatusRecord& status, bool receiver_running, double updated_at);

struct DiscoveredSource {
  std::string name;
  std::string url_address;  // empty when the runtime gives none
  bool operator==(const DiscoveredSource&) const = default;
};

// The runtime's current sources that have a name, sorted by name and then by address, byte by byte.
std::vector<DiscoveredSource> collect_sources(const ndi::Source* sources, std::uint32_t count);

std::string sources_document(const std::vector<DiscoveredSource>& sources, double updated_at);

// On only for the exact value "1"; words such as "true" or "01" leave it off.
bool latency_switch_from(const char* value);

struct LatencyRecord {
  std::uint64_t video_count = 0;
  std::int64_t captured_unix_ns = 0;
  std::int64_t published_unix_ns = 0;
  double capture_to_publish_ms = 0.0;
  std::int64_t jpeg_mtime_ns = 0;
  std::int64_t jpeg_size = 0;
};

std::string latency_document(const LatencyRecord& record);

// lancapture's words, in French as its console speaks, for a publication that did not land.
void report_publish_failure(const std::string& target, const receivers::PublishResult& result);
// A file that could not be moved or copied over `target`.
void report_replace_failure(const char* target);
// Publishes a document and reports a failure; false when it did not land (the next one tries again).
bool publish_document(const std::string& target, const std::string& bytes);

}  // namespace tessaryn::lancapture
