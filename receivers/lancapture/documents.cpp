#include "receivers/lancapture/documents.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "receivers/common/json_writer.hpp"

namespace tessaryn::lancapture {

using receivers::JsonDocument;

const char* state_name(ReceiverState state) {
  switch (state) {
    case ReceiverState::no_source: return "no_source";
    case ReceiverState::connecting: return "connecting";
    case ReceiverState::connected: return "connected";
    case ReceiverState::offline: return "offline";
    case ReceiverState::error: return "error";
    case ReceiverState::stopped: return "stopped";
  }
  return "error";
}

std::string status_document(const StatusRecord& status, bool receiver_running, double updated_at) {
  JsonDocument doc(kJsonStyle);
  doc.integer("version", 1)
      .boolean("receiver_running", receiver_running)
      .text("receiver_state", state_name(status.state))
      .optional_text("selected_source_id", status.selected_source)
      .optional_text("selected_source_name", status.selected_source)
      .optional_text("active_source_name", status.active_source)
      .integer("width", status.width)
      .integer("height", status.height)
      .integer("frame_rate_n", status.frame_rate_n)
      .integer("frame_rate_d", status.frame_rate_d)
      .optional_number("last_frame_at",
                       status.last_frame_at > 0.0 ? std::optional<double>(status.last_frame_at) : std::nullopt)
      .number("updated_at", updated_at)
      .optional_text("error", status.error);
  return doc.finish();
}

std::vector<DiscoveredSource> collect_sources(const ndi::Source* sources, std::uint32_t count) {
  std::vector<DiscoveredSource> list;
  if (sources == nullptr) return list;
  list.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    // A nameless entry can never be selected: an empty selection means none.
    if (sources[i].p_ndi_name == nullptr || sources[i].p_ndi_name[0] == '\0') continue;
    list.push_back({sources[i].p_ndi_name, sources[i].p_url_address ? sources[i].p_url_address : ""});
  }
  // std::string compares as unsigned bytes, shorter first on a common prefix.
  std::sort(list.begin(), list.end(), [](const DiscoveredSource& a, const DiscoveredSource& b) {
    if (a.name != b.name) return a.name < b.name;
    return a.url_address < b.url_address;
  });
  return list;
}

std::string sources_document(const std::vector<DiscoveredSource>& sources, double updated_at) {
  std::string out = "{\n  \"version\": 1,\n  \"updated_at\": ";
  out += receivers::json_number(updated_at, kJsonStyle);
  out += ",\n  \"sources\": [";
  for (std::size_t i = 0; i < sources.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    const std::string name = receivers::json_escape(sources[i].name, kJsonStyle);
    out += "    {\"id\": \"";
    out += name;
    out += "\", \"name\": \"";
    out += name;
    out += "\", \"url_address\": ";
    out += receivers::json_string_or_null(sources[i].url_address, kJsonStyle);
    out += ", \"online\": true}";
  }
  out += sources.empty() ? "  ]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool latency_switch_from(const char* value) { return value != nullptr && std::string_view(value) == "1"; }

std::string latency_document(const LatencyRecord& record) {
  JsonDocument doc(kJsonStyle);
  doc.integer("version", 1)
      .text("frame_id", std::to_string(record.video_count) + "-" + std::to_string(record.published_unix_ns))
      .integer("captured_unix_ns", record.captured_unix_ns)
      .integer("published_unix_ns", record.published_unix_ns)
      .number("capture_to_publish_ms", record.capture_to_publish_ms)
      .integer("jpeg_mtime_ns", record.jpeg_mtime_ns)
      .integer("jpeg_size", record.jpeg_size);
  return doc.finish();
}

void report_replace_failure(const char* target) {
  // The retries and the copy were spent on a file some reader keeps to itself: that is the cause named.
  std::fprintf(stderr, "Impossible de remplacer %s: %s\n", target, std::strerror(EACCES));
}

void report_publish_failure(const std::string& target, const receivers::PublishResult& result) {
  switch (result.failure) {
    case receivers::PublishFailure::none:
      return;
    case receivers::PublishFailure::open_temporary:
      std::fprintf(stderr, "Impossible d'ouvrir %s: %s\n", result.temp_path.c_str(), std::strerror(result.error_number));
      return;
    case receivers::PublishFailure::write:
      std::fprintf(stderr, "Impossible d'écrire %s de façon atomique.\n", target.c_str());
      return;
    case receivers::PublishFailure::replace:
      report_replace_failure(target.c_str());
      return;
  }
}

bool publish_document(const std::string& target, const std::string& bytes) {
  const receivers::PublishResult result = receivers::write_text_atomically(target, bytes);
  report_publish_failure(target, result);
  return result.ok();
}

}  // namespace tessaryn::lancapture
