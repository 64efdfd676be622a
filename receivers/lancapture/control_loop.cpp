#include "receivers/lancapture/control_loop.hpp"

#include <cstdio>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/clock.hpp"
#include "receivers/common/stop_request.hpp"
#include "receivers/lancapture/capture.hpp"
#include "receivers/lancapture/files.hpp"

namespace tessaryn::lancapture {

const LoopClock& system_loop_clock() {
  static const LoopClock clock{receivers::monotonic_ns, receivers::wall_unix_seconds, receivers::wall_unix_ns};
  return clock;
}

Session::Session(const ndi::EntryPoints& entry_points, void* finder_instance, void* receiver_instance, bool latency,
                 const LoopClock& loop_clock)
    : ndi(entry_points), finder(finder_instance), receiver(receiver_instance), clock(loop_clock), latency_on(latency) {
  const std::int64_t start = clock.monotonic_ns();
  // The first connection may be made at once.
  last_attempt_time = start - kReconnectPause;
  statistics_window_start = start;
}

void Session::disconnect() const { ndi.recv_connect(receiver, nullptr); }

void Session::forget_connection(std::int64_t now) {
  if (!connected_source.empty()) left_connection_at = now;
  connected_source.clear();
}

namespace {

const char* or_absent(const std::string& url) { return url.empty() ? "(absente)" : url.c_str(); }

void print_source_list(const std::vector<DiscoveredSource>& sources) {
  std::printf("%zu source(s) NDI découverte(s).\n", sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::printf("  Finder[%zu]: name=\"%s\" (%zu octets), url=\"%s\"\n", i, sources[i].name.c_str(),
                sources[i].name.size(), or_absent(sources[i].url_address));
  }
  std::fflush(stdout);
}

}  // namespace

ControlLoop::ControlLoop(const ndi::EntryPoints& ndi, void* finder, void* receiver, bool latency_on,
                         const LoopClock& clock)
    : session_(ndi, finder, receiver, latency_on, clock) {}

void ControlLoop::run() {
  while (receivers::keep_running.load() == 1) {
    if (!run_once()) break;
  }
}

bool ControlLoop::run_once() {
  if (receivers::stop_file_has_content(kStopPath)) {
    receivers::keep_running.store(0);
    return false;
  }
  Session& s = session_;
  const std::int64_t now = s.clock.monotonic_ns();
  take_selection(now);
  const bool refresh = refresh_requested();
  if (s.first_poll || refresh || !s.last_poll_time || now - *s.last_poll_time >= kPollInterval) {
    poll_sources(refresh);
  }
  keep_connection(now);
  capture_step(s);
  const std::int64_t now2 = s.clock.monotonic_ns();
  check_staleness(now2);
  print_statistics(now2);
  if (s.status_dirty || !s.last_status_write || now2 - *s.last_status_write >= kStatusHeartbeat) {
    write_status(true);
    s.status_dirty = false;
    s.last_status_write = now2;
  }
  return true;
}

void ControlLoop::take_selection(std::int64_t now) {
  Session& s = session_;
  std::string selection = receivers::read_whole_file(kSelectionPath);
  if (selection == s.selection) return;
  s.disconnect();
  s.selection = std::move(selection);
  s.forget_connection(now);
  s.video_count = 0;
  s.counters = {};
  s.statistics_printed = false;
  s.status = StatusRecord{};
  s.status.selected_source = s.selection;
  s.status.state = s.selection.empty() ? ReceiverState::no_source : ReceiverState::connecting;
  s.status_dirty = true;
  std::printf("Source NDI sélectionnée: \"%s\" (%zu octets)\n", s.selection.empty() ? "(aucune)" : s.selection.c_str(),
              s.selection.size());
  std::fflush(stdout);
  s.last_video_time.reset();
  s.last_attempt_time = now - kReconnectPause;
  s.statistics_window_start = now;
}

bool ControlLoop::refresh_requested() {
  // Any change is a request, a vanished or emptied file included; the same text twice is one request.
  std::string content = receivers::read_whole_file(kRefreshPath);
  if (content == session_.last_refresh_content) return false;
  session_.last_refresh_content = std::move(content);
  return true;
}

void ControlLoop::poll_sources(bool refresh) {
  Session& s = session_;
  s.ndi.find_wait_for_sources(s.finder, refresh ? kRefreshWaitMs : 0);
  std::uint32_t count = 0;
  const ndi::Source* current = s.ndi.find_get_current_sources(s.finder, &count);
  // The runtime's array is valid only until the next call on the finder: copied at once.
  std::vector<DiscoveredSource> list = collect_sources(current, current == nullptr ? 0 : count);
  const bool listed_anew = s.first_poll || refresh || list != s.sources;
  if (listed_anew) s.sources = std::move(list);
  // A document that did not land is written again at every poll until it does; the console tells
  // of a list only once.
  if (listed_anew || !s.sources_published) {
    s.sources_published = publish_document(kSourcesPath, sources_document(s.sources, s.clock.wall_unix_seconds()));
  }
  if (listed_anew) print_source_list(s.sources);
  s.first_poll = false;
  s.last_poll_time = s.clock.monotonic_ns();
}

void ControlLoop::keep_connection(std::int64_t now) {
  Session& s = session_;
  StatusRecord& status = s.status;
  if (s.selection.empty()) {
    if (!s.connected_source.empty()) {
      s.disconnect();
      s.forget_connection(now);
    }
    if (status.state != ReceiverState::no_source) {
      status.state = ReceiverState::no_source;
      s.status_dirty = true;
    }
    return;
  }
  const DiscoveredSource* match = nullptr;
  for (const DiscoveredSource& source : s.sources) {
    if (source.name == s.selection) {
      match = &source;
      break;
    }
  }
  if (match == nullptr) {
    if (!s.connected_source.empty()) {
      s.disconnect();
      s.forget_connection(now);
    }
    if (status.state != ReceiverState::offline || !status.error.empty()) {
      status.state = ReceiverState::offline;
      status.error.clear();
      status.active_source.clear();
      s.status_dirty = true;
    }
    return;
  }
  if (s.connected_source == s.selection || now - s.last_attempt_time < kReconnectPause) return;
  // Frames of the connection just left would pass for the new source's: wait until they stop.
  if (s.left_connection_at && now - *s.left_connection_at < kQuietWaitLimit) return;
  s.left_connection_at.reset();
  std::printf("Match exact trouvé: sélection=\"%s\", finder=\"%s\", url=\"%s\"\n", s.selection.c_str(),
              match->name.c_str(), or_absent(match->url_address));
  std::printf("Appel NDIlib_recv_connect pour \"%s\".\n", s.selection.c_str());
  const ndi::Source target{match->name.c_str(), match->url_address.empty() ? nullptr : match->url_address.c_str()};
  s.ndi.recv_connect(s.receiver, &target);
  s.connected_source = s.selection;
  status.state = ReceiverState::connecting;
  status.active_source = s.selection;
  status.error.clear();
  s.status_dirty = true;
  std::printf("Connexion à %s...\n", s.selection.c_str());
  std::fflush(stdout);
  s.last_attempt_time = now;
}

void ControlLoop::check_staleness(std::int64_t now2) {
  Session& s = session_;
  const bool stale = s.last_video_time ? now2 - *s.last_video_time >= kStaleAfter
                                       : !s.connected_source.empty() && now2 - s.last_attempt_time >= kStaleAfter;
  if (!stale || s.status.state == ReceiverState::error) return;
  if (s.status.state != ReceiverState::offline) {
    s.status.state = ReceiverState::offline;
    s.status.error = "No recent video frames";
    s.status_dirty = true;
  }
  const std::int64_t quiet_since = s.last_video_time ? *s.last_video_time : s.last_attempt_time;
  if (!s.connected_source.empty() && now2 - quiet_since >= kForcedDisconnectAfter) {
    s.disconnect();
    s.forget_connection(now2);
    s.status.active_source.clear();
    s.status_dirty = true;
    s.last_video_time.reset();
    s.last_attempt_time = now2;
  }
}

void ControlLoop::print_statistics(std::int64_t now2) {
  Session& s = session_;
  if (s.selection.empty() || s.statistics_printed || now2 - s.statistics_window_start < kStatisticsAfter) return;
  const FrameCounters& c = s.counters;
  std::printf("Capture 5s: video=%llu audio=%llu metadata=%llu none=%llu error=%llu other=%llu connexions=%d état=%s\n",
              c.video, c.audio, c.metadata, c.none, c.error, c.other, s.ndi.recv_get_no_connections(s.receiver),
              state_name(s.status.state));
  std::fflush(stdout);
  s.counters = {};
  s.statistics_printed = true;
  s.statistics_window_start = now2;
}

void ControlLoop::write_status(bool running) {
  publish_document(kStatusPath, status_document(session_.status, running, session_.clock.wall_unix_seconds()));
}

void ControlLoop::shutdown() {
  session_.disconnect();
  session_.status.state = ReceiverState::stopped;
  session_.status.active_source.clear();
  write_status(false);
}

}  // namespace tessaryn::lancapture
