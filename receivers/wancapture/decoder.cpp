#include "receivers/wancapture/decoder.hpp"

#include <cstdio>

#include "receivers/common/clock.hpp"
#include "receivers/common/jpeg_encoder.hpp"
#include "receivers/common/stop_request.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tessaryn::wancapture {

using receivers::keep_running;

namespace {

constexpr AVPixelFormat kHardwareFormat = AV_PIX_FMT_VIDEOTOOLBOX;

bool is_hardware_format(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0;
}

// The hardware format when the hardware path is active; otherwise a format in system memory. The
// decoder also offers the formats of other hardware interfaces this build knows; picking one of
// those without a device would only fail and be retried, so they are passed over as well.
AVPixelFormat choose_format(AVCodecContext* context, const AVPixelFormat* formats) {
  const bool hardware = context->opaque != nullptr && *static_cast<const bool*>(context->opaque);
  if (hardware) {
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
      if (*f == kHardwareFormat) return *f;
    }
  }
  for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
    if (!is_hardware_format(*f)) return *f;
  }
  for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f != kHardwareFormat) return *f;
  }
  return AV_PIX_FMT_NONE;
}

void say(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

}  // namespace

PreviewWriter::PreviewWriter(std::string preview_path) : preview_path_(std::move(preview_path)) {}

PreviewWriter::~PreviewWriter() { sws_freeContext(scaler_); }

bool PreviewWriter::publish(const AVFrame* frame, FrameSize target) {
  if (scaler_ == nullptr || source_width_ != frame->width || source_height_ != frame->height ||
      source_format_ != frame->format || !(scaler_target_ == target)) {
    sws_freeContext(scaler_);
    scaler_ = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), target.width,
                             target.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    source_width_ = frame->width;
    source_height_ = frame->height;
    source_format_ = frame->format;
    scaler_target_ = target;
    if (scaler_ == nullptr) return false;
  }
  const int row_stride = target.width * 3;
  rgb_.resize(static_cast<std::size_t>(row_stride) * static_cast<std::size_t>(target.height));
  std::uint8_t* planes[4] = {rgb_.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {row_stride, 0, 0, 0};
  const int rows = sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides);
  if (rows != target.height) return false;
  return receivers::encode_preview_jpeg_rgb(rgb_.data(), target.width, target.height, row_stride, preview_path_);
}

ConnectionDecoder::ConnectionDecoder(StatusPublisher& status, const std::string& preview_path)
    : status_(status), writer_(preview_path) {
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  transfer_ = av_frame_alloc();
}

ConnectionDecoder::~ConnectionDecoder() {
  av_frame_free(&transfer_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  close_codec();
}

void ConnectionDecoder::close_codec() {
  avcodec_free_context(&codec_);
  av_buffer_unref(&device_);
  hardware_active_ = false;
  name_.clear();
}

bool ConnectionDecoder::open(const AVCodecParameters* parameters, bool use_hardware) {
  parameters_ = parameters;
  for (;;) {
    close_codec();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return false;
    codec_ = avcodec_alloc_context3(codec);
    if (codec_ == nullptr) return false;
    if (avcodec_parameters_to_context(codec_, parameters) < 0) {
      close_codec();
      return false;
    }
    if (use_hardware && av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VIDEOTOOLBOX, nullptr, nullptr, 0) >= 0) {
      codec_->hw_device_ctx = av_buffer_ref(device_);
      hardware_active_ = codec_->hw_device_ctx != nullptr;
    }
    codec_->opaque = &hardware_active_;
    codec_->get_format = choose_format;
    if (avcodec_open2(codec_, codec, nullptr) >= 0) break;
    if (!use_hardware) {
      close_codec();
      return false;
    }
    use_hardware = false;
  }
  if (codec_->pix_fmt == kHardwareFormat) {
    name_ = "videotoolbox";
  } else {
    name_ = "native";
    av_buffer_unref(&codec_->hw_device_ctx);
    av_buffer_unref(&device_);
    hardware_active_ = false;
  }
  return true;
}

bool ConnectionDecoder::ready() const {
  return packet_ != nullptr && frame_ != nullptr && transfer_ != nullptr && codec_ != nullptr;
}

bool ConnectionDecoder::fall_back_to_software() {
  if (fallen_back_ || !open(parameters_, false)) return false;
  fallen_back_ = true;
  failures_.reset();
  status_.record().decoder = "native";
  status_.publish();
  say("decoder: native\n");
  return true;
}

DecodeOutcome ConnectionDecoder::fail_decoding() {
  return failures_.add() ? DecodeOutcome::undecodable : DecodeOutcome::going_on;
}

DecodeOutcome ConnectionDecoder::handle_packet(AVPacket* packet) {
  const int sent = avcodec_send_packet(codec_, packet);
  av_packet_unref(packet);
  if (sent < 0 && sent != AVERROR(EAGAIN)) {
    if (name_ == "videotoolbox" && fall_back_to_software()) return DecodeOutcome::going_on;
    return fail_decoding();
  }
  while (keep_running.load() == 1) {
    const int received = avcodec_receive_frame(codec_, frame_);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return DecodeOutcome::going_on;
    if (received < 0) return fail_decoding();
    failures_.reset();
    const bool hardware_frame = frame_->format == kHardwareFormat;
    if (hardware_frame && av_hwframe_transfer_data(transfer_, frame_, 0) < 0) {
      av_frame_unref(frame_);
      av_frame_unref(transfer_);
      if (fall_back_to_software()) continue;
      return DecodeOutcome::undecodable;
    }
    show_frame(hardware_frame ? transfer_ : frame_, hardware_frame);
    av_frame_unref(frame_);
    av_frame_unref(transfer_);
  }
  return DecodeOutcome::going_on;
}

void ConnectionDecoder::show_frame(AVFrame* frame, bool hardware_frame) {
  const auto target = preview_size(frame->width, frame->height);
  if (!target) return;
  const std::int64_t now = receivers::monotonic_ns();
  if (!pacer_.due(now)) return;
  if (!writer_.publish(frame, *target)) return;

  StatusRecord& s = status_.record();
  s.state = LinkState::connected;
  s.width = target->width;
  s.height = target->height;
  s.decoder = hardware_frame ? "videotoolbox" : "native";
  s.error.clear();
  s.has_last_frame = true;
  s.last_frame_time = receivers::wall_unix_seconds();
  status_.publish();
  if (!size_line_printed_) {
    std::printf("receiving %dx%d\n", target->width, target->height);
    std::fflush(stdout);
    size_line_printed_ = true;
  }
  pacer_.mark(now);
}

}  // namespace tessaryn::wancapture
