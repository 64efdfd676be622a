#include "receivers/lancapture/capture.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/jpeg_encoder.hpp"
#include "receivers/lancapture/files.hpp"

namespace tessaryn::lancapture {

namespace {

// Told for the first three failures in the life of the process; after that the previews that do
// not come are enough of a sign.
void report_encoder_failure(const ndi::VideoFrameV2& frame, unsigned long code) {
  static int reported = 0;
  if (reported >= 3) return;
  ++reported;
  std::fprintf(stderr, "JPEG preview failed: %dx%d stride=%d HRESULT=0x%08lX\n", frame.xres, frame.yres,
               frame.line_stride_in_bytes, code);
}

struct FileFacts {
  std::int64_t size = 0;
  std::int64_t mtime_seconds = 0;
};

// The encoded file's size and modification time (whole seconds, as the C runtime's stat gives it).
std::optional<FileFacts> examine(const char* path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  const auto written = std::filesystem::last_write_time(path, error);
  if (error) return std::nullopt;
  const auto since_epoch = std::chrono::file_clock::to_sys(written).time_since_epoch();
  return FileFacts{static_cast<std::int64_t>(size),
                   std::chrono::floor<std::chrono::seconds>(since_epoch).count()};
}

void publish_preview(Session& session, const ndi::VideoFrameV2& frame, std::int64_t captured_mono,
                     std::int64_t captured_wall_ns) {
  const receivers::PreviewEncoding encoded = receivers::encode_preview_jpeg_bgrx(
      frame.xres, frame.yres, frame.p_data, frame.line_stride_in_bytes, kPreviewQualityPercent, kPreviewTempPath);
  if (!encoded.ok) {
    if (encoded.reportable) report_encoder_failure(frame, encoded.code);
    return;
  }
  if (session.latency_on) {
    if (const auto facts = examine(kPreviewTempPath)) {
      LatencyRecord record;
      const std::int64_t encoded_mono = session.clock.monotonic_ns();
      record.video_count = session.video_count;
      record.captured_unix_ns = captured_wall_ns;
      record.published_unix_ns = session.clock.wall_unix_ns();
      record.capture_to_publish_ms = static_cast<double>(encoded_mono - captured_mono) / 1e6;
      record.jpeg_mtime_ns = facts->mtime_seconds * 1000000000LL;
      record.jpeg_size = facts->size;
      publish_document(kLatencyPath, latency_document(record));
    }
  }
  if (!receivers::replace_file_with_retry(kPreviewTempPath, kPreviewPath)) report_replace_failure(kPreviewPath);
}

void handle_video(Session& session, const ndi::VideoFrameV2& frame) {
  const std::int64_t t = session.clock.monotonic_ns();
  const std::int64_t captured_wall_ns = session.clock.wall_unix_ns();
  // Frames from a source left behind still arrive for a while after a switch; they are only counted.
  if (session.selection.empty() || session.connected_source != session.selection) return;

  ++session.video_count;
  session.last_video_time = t;
  StatusRecord& status = session.status;
  status.state = ReceiverState::connected;
  status.active_source = session.selection;
  status.error.clear();
  status.width = frame.xres;
  status.height = frame.yres;
  status.frame_rate_n = frame.frame_rate_N;
  status.frame_rate_d = frame.frame_rate_D;
  status.last_frame_at = session.clock.wall_unix_seconds();
  session.status_dirty = true;

  if (session.video_count == 1) {
    std::printf("Première frame vidéo: %dx%d, frame_rate=%d/%d, timestamp=%.6f\n", frame.xres, frame.yres,
                frame.frame_rate_N, frame.frame_rate_D, status.last_frame_at);
    std::fflush(stdout);
  }
  if (session.video_count % kPreviewEvery == 0) publish_preview(session, frame, t, captured_wall_ns);
}

}  // namespace

void capture_step(Session& session) {
  ndi::VideoFrameV2 video = ndi::default_video_frame();
  ndi::AudioFrameV3 audio = ndi::default_audio_frame();
  ndi::MetadataFrame metadata = ndi::default_metadata_frame();
  const std::int32_t type =
      session.ndi.recv_capture_v3(session.receiver, &video, &audio, &metadata, kCaptureTimeoutMs);
  switch (type) {
    case ndi::kFrameNone:
      ++session.counters.none;
      session.left_connection_at.reset();  // whatever the old connection owed has been handed out
      break;
    case ndi::kFrameVideo:
      ++session.counters.video;
      handle_video(session, video);
      session.ndi.recv_free_video_v2(session.receiver, &video);
      break;
    case ndi::kFrameAudio:
      ++session.counters.audio;
      session.ndi.recv_free_audio_v3(session.receiver, &audio);
      break;
    case ndi::kFrameMetadata:
      ++session.counters.metadata;
      session.ndi.recv_free_metadata(session.receiver, &metadata);
      break;
    case ndi::kFrameError:
      ++session.counters.error;
      session.status.state = ReceiverState::error;
      session.status.error = "NDI receiver error";
      session.status_dirty = true;
      session.disconnect();
      session.forget_connection(session.clock.monotonic_ns());
      break;
    default:
      ++session.counters.other;
      break;
  }
}

}  // namespace tessaryn::lancapture
