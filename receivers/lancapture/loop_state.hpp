// Everything the receiver's one thread carries from one loop iteration to the next.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "receivers/common/clock.hpp"
#include "receivers/lancapture/documents.hpp"
#include "receivers/lancapture/ndi_abi.hpp"

namespace tessaryn::lancapture {

// The two time sources, as a set so that the loop's timing rules can be run on a test clock.
struct LoopClock {
  std::int64_t (*monotonic_ns)();
  double (*wall_unix_seconds)();
  std::int64_t (*wall_unix_ns)();
};
const LoopClock& system_loop_clock();

struct FrameCounters {
  unsigned long long video = 0;
  unsigned long long audio = 0;
  unsigned long long metadata = 0;
  unsigned long long none = 0;
  unsigned long long error = 0;
  unsigned long long other = 0;
};

using std::chrono::milliseconds;
using std::chrono::seconds;
using receivers::in_ns;
inline constexpr std::int64_t kMs = in_ns(milliseconds(1));
// The runtime takes its waits in milliseconds; the loop's own intervals are in nanoseconds.
inline constexpr std::uint32_t kCaptureTimeoutMs = milliseconds(200).count();
inline constexpr std::uint32_t kRefreshWaitMs = milliseconds(250).count();
inline constexpr std::int64_t kPollInterval = in_ns(seconds(2));
inline constexpr std::int64_t kReconnectPause = in_ns(milliseconds(500));
inline constexpr std::int64_t kStaleAfter = in_ns(seconds(3));
inline constexpr std::int64_t kForcedDisconnectAfter = in_ns(seconds(5));
inline constexpr std::int64_t kStatisticsAfter = in_ns(seconds(5));
inline constexpr std::int64_t kStatusHeartbeat = in_ns(seconds(1));
// Only every sixth accepted frame becomes a preview: about five a second at 30 frames per second.
inline constexpr std::uint64_t kPreviewEvery = 6;
inline constexpr int kPreviewQualityPercent = 75;
// After leaving a connection the runtime may still hand out frames the old source sent; a new
// connection is made only once a capture came back empty, or after this long at most.
inline constexpr std::int64_t kQuietWaitLimit = in_ns(seconds(2));

struct Session {
  const ndi::EntryPoints& ndi;
  void* finder = nullptr;
  void* receiver = nullptr;
  LoopClock clock;

  std::string selection;
  std::string last_refresh_content;
  std::vector<DiscoveredSource> sources;
  bool first_poll = true;
  bool sources_published = false;  // the last sources document landed; until it does, every poll writes it
  std::optional<std::int64_t> last_poll_time;
  std::string connected_source;
  // Set when a connection was left, cleared by the first capture that brings nothing: until then a
  // video frame may still be the old source's, and no new connection is made.
  std::optional<std::int64_t> left_connection_at;
  std::int64_t last_attempt_time = 0;
  std::optional<std::int64_t> last_video_time;
  std::uint64_t video_count = 0;
  FrameCounters counters;
  std::int64_t statistics_window_start = 0;
  bool statistics_printed = false;
  bool status_dirty = true;
  std::optional<std::int64_t> last_status_write;
  bool latency_on = false;
  StatusRecord status;

  Session(const ndi::EntryPoints& entry_points, void* finder_instance, void* receiver_instance, bool latency,
          const LoopClock& loop_clock);

  // The runtime's connect call with no source.
  void disconnect() const;
  // Forgets the connected source (after a disconnect), noting that the runtime may still deliver its frames.
  void forget_connection(std::int64_t now);
};

}  // namespace tessaryn::lancapture
