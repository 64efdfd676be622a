// Decoding one caller's H.264 packets and publishing the newest frame as the preview, at most five
// times a second, downscaled by the sizing rule.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "receivers/common/clock.hpp"
#include "receivers/wancapture/sizing.hpp"
#include "receivers/wancapture/status.hpp"

extern "C" {
struct AVBufferRef;
struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct SwsContext;
}

namespace tessaryn::wancapture {

// Single decoding failures happen on any lossy link; this many in a row without a frame mean the
// stream cannot be decoded at all.
inline constexpr int kDecodeFailureLimit = 60;

class DecodeFailures {
 public:
  // Counts one failure; true when the limit is reached.
  bool add() { return ++count_ >= kDecodeFailureLimit; }
  void reset() { count_ = 0; }
  int count() const { return count_; }

 private:
  int count_ = 0;
};

// Previews are spaced at least 200 ms apart; the first of a connection is always due.
inline constexpr std::int64_t kPreviewSpacingNs = receivers::in_ns(std::chrono::milliseconds(200));

class PreviewPacer {
 public:
  bool due(std::int64_t now_ns) const { return !published_ || now_ns - last_ns_ >= kPreviewSpacingNs; }
  void mark(std::int64_t taken_ns) {
    published_ = true;
    last_ns_ = taken_ns;
  }
  bool published() const { return published_; }

 private:
  bool published_ = false;
  std::int64_t last_ns_ = 0;
};

// Scales a frame into packed RGB and publishes it as the preview JPEG. The scaler and the RGB buffer
// are kept while frames keep their size and format.
class PreviewWriter {
 public:
  explicit PreviewWriter(std::string preview_path);
  ~PreviewWriter();
  PreviewWriter(const PreviewWriter&) = delete;
  PreviewWriter& operator=(const PreviewWriter&) = delete;

  // False when the frame was dropped (no scaler, short scale, failed encoding or replacement).
  bool publish(const AVFrame* frame, FrameSize target);

 private:
  std::string preview_path_;
  SwsContext* scaler_ = nullptr;
  int source_width_ = 0, source_height_ = 0, source_format_ = -1;
  FrameSize scaler_target_;
  std::vector<std::uint8_t> rgb_;
};

// What became of a packet: decoding goes on, or the stream proved undecodable (60 failures in a row,
// or a hardware frame that could not be fetched once software decoding was already in use) and the
// connection should end with an error.
enum class DecodeOutcome { going_on, undecodable };

// One caller's decoder and preview state; it lives exactly as long as the connection.
class ConnectionDecoder {
 public:
  ConnectionDecoder(StatusPublisher& status, const std::string& preview_path);
  ~ConnectionDecoder();
  ConnectionDecoder(const ConnectionDecoder&) = delete;
  ConnectionDecoder& operator=(const ConnectionDecoder&) = delete;

  // Opens the H.264 decoder for the stream, trying the hardware path first when asked.
  bool open(const AVCodecParameters* parameters, bool use_hardware);
  // The packet and both frames exist and the decoder is open.
  bool ready() const;
  AVPacket* packet() { return packet_; }
  const std::string& name() const { return name_; }

  // Decodes one video packet (and unrefs it); may publish a preview.
  DecodeOutcome handle_packet(AVPacket* packet);

 private:
  void close_codec();
  bool fall_back_to_software();
  DecodeOutcome fail_decoding();
  void show_frame(AVFrame* frame, bool hardware_frame);

  StatusPublisher& status_;
  const AVCodecParameters* parameters_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVBufferRef* device_ = nullptr;
  bool hardware_active_ = false;  // read by the format callback through the context's opaque pointer
  std::string name_;

  DecodeFailures failures_;
  bool fallen_back_ = false;
  bool size_line_printed_ = false;
  PreviewPacer pacer_;
  PreviewWriter writer_;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* transfer_ = nullptr;
};

}  // namespace tessaryn::wancapture
