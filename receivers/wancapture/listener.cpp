#include "receivers/wancapture/listener.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "receivers/common/clock.hpp"
#include "receivers/common/platform.hpp"
#include "receivers/common/stop_request.hpp"
#include "receivers/wancapture/decoder.hpp"
#include "receivers/wancapture/log_filter.hpp"
#include "receivers/wancapture/sizing.hpp"
#include "receivers/wancapture/status.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace tessaryn::wancapture {

using receivers::keep_running;
namespace platform = receivers::platform;

namespace {

// The media library calls this during every blocking wait and between packets, with the request
// file's path as its opaque value.
int stop_test(void* opaque) {
  const auto& request_path = *static_cast<const std::string*>(opaque);
  if (keep_running.load() == 1 && receivers::stop_file_exists(request_path)) keep_running.store(0);
  return keep_running.load() == 0 ? 1 : 0;
}

void say(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// The pause after a recoverable error, in slices, so that a stop still ends the program within the
// launcher's grace period.
void pause_after_error(const std::string& request_path) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  void* opaque = const_cast<std::string*>(&request_path);  // read only, as the library's callback does
  for (auto waited = std::chrono::milliseconds(0); waited < kErrorPause && stop_test(opaque) == 0; waited += kSlice) {
    platform::sleep_ms(static_cast<int>(kSlice.count()));
  }
}

std::string error_text(int result) {
  char buffer[64] = {};
  if (av_strerror(result, buffer, sizeof buffer) < 0) std::snprintf(buffer, sizeof buffer, "error %d", result);
  return buffer;
}

// One caller's connection: the SRT link (opened and accepted on its own, so that the caller is
// known to be there before the stream is probed), the reader the demuxer pulls the link's bytes
// through, and the demuxer.
struct Connection {
  AVIOContext* link = nullptr;
  AVIOContext* reader = nullptr;
  AVFormatContext* input = nullptr;
  std::int64_t accepted_ns = 0;     // the caller was accepted
  std::int64_t last_useful_ns = 0;  // bytes other than padding last arrived, while classifying
  std::int64_t last_data_ns = 0;    // bytes last arrived from the link
  std::int64_t last_packet_ns = 0;  // the demuxer last handed out a packet; 0 until receiving begins
  std::int64_t classified_bytes = 0;  // bytes read from the link before receiving began
  bool stalled = false;             // the link was given up for lack of data or of packets

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    avformat_close_input(&input);  // a demuxer on a reader it did not open leaves it alone
    if (reader != nullptr) av_freep(&reader->buffer);
    avio_context_free(&reader);
    avio_closep(&link);
  }
};

// The demuxer can read on for as long as a caller sends bytes that never make a packet (padding,
// or packets of no stream it knows); the stall rule is therefore also applied here, where such
// bytes arrive, and not only between packets.
//
// The demuxer hands out what it still holds before it reports a failure of its reader, so the
// reason the link ended is noted here, where it happens. A stall is 5 s without a packet, or a
// link that failed after a long silence: the link's read timeout (5 s), or SRT's own idle timeout
// (also 5 s), which counts from the arrival of the last data, before the latency delay that holds
// it back from us, and so may break the link a little earlier. A caller that hangs up on purpose
// sent data until the moment it closed.
constexpr std::int64_t kSilenceBeforeBreakNs = kStallNs / 2;

// Until the stream is classified no packet comes out at all, so there the stall rule counts from the
// caller's acceptance, or from the last bytes that were more than MPEG-TS padding: padding makes no
// packet, ever. Classification as a whole is also bounded in time and bytes, so that a caller that
// trickles anything else it likes still cannot keep the one listening place for as long as it wants.
bool only_padding(const std::uint8_t* data, int size) {
  constexpr int kTsPacket = 188;
  if (size <= 0 || size % kTsPacket != 0) return false;
  for (int at = 0; at < size; at += kTsPacket) {
    const int pid = ((data[at + 1] & 0x1f) << 8) | data[at + 2];
    if (data[at] != 0x47 || pid != 0x1fff) return false;
  }
  return true;
}

int read_link(void* opaque, std::uint8_t* buffer, int size) {
  Connection& connection = *static_cast<Connection*>(opaque);
  const bool classifying = connection.last_packet_ns == 0;
  const std::int64_t before = receivers::monotonic_ns();
  const std::int64_t quiet_since = classifying ? connection.last_useful_ns : connection.last_packet_ns;
  if (before - quiet_since > kStallNs ||
      (classifying && (before - connection.accepted_ns > kMaxClassificationNs ||
                       connection.classified_bytes > kMaxClassificationBytes))) {
    connection.stalled = true;
    return AVERROR(ETIMEDOUT);
  }
  const int n = avio_read_partial(connection.link, buffer, size);
  const std::int64_t now = receivers::monotonic_ns();
  if (n > 0) {
    connection.last_data_ns = now;
    if (classifying) {
      connection.classified_bytes += n;
      if (!only_padding(buffer, n)) connection.last_useful_ns = now;
    }
  } else if (n != AVERROR_EXIT && now - connection.last_data_ns > kSilenceBeforeBreakNs) {
    connection.stalled = true;
  }
  return n;
}

constexpr int kReaderBufferBytes = 32768;

// Wipes the values of the options given to one attempt before they are freed: the library copies
// them into the dictionary, and the passphrase must not linger in freed memory.
void free_options(AVDictionary** options) {
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(*options, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    platform::wipe_memory(entry->value, std::strlen(entry->value));
  }
  av_dict_free(options);
}

// The SRT protocol removes every option it takes from the dictionary, also when the attempt then
// fails, so one still there is one it does not know.
bool options_not_taken(const AVDictionary* returned) {
  for (const char* name : {"passphrase", "pbkeylen", "streamid"}) {
    if (av_dict_get(returned, name, nullptr, 0) != nullptr) return true;
  }
  return false;
}

enum class StreamCheck { ok, not_mpegts, not_h264, bad_size };

StreamCheck check_stream(const AVFormatContext* input, int video_index) {
  if (input->iformat == nullptr || std::strcmp(input->iformat->name, "mpegts") != 0) return StreamCheck::not_mpegts;
  if (video_index < 0) return StreamCheck::not_h264;
  const AVCodecParameters* parameters = input->streams[video_index]->codecpar;
  if (parameters == nullptr || parameters->codec_id != AV_CODEC_ID_H264) return StreamCheck::not_h264;
  if (!frame_size_supported(parameters->width, parameters->height)) return StreamCheck::bad_size;
  return StreamCheck::ok;
}

class Receiver {
 public:
  Receiver(const Settings& settings, const Passphrase& passphrase, std::string stop_request_path)
      : settings_(settings),
        passphrase_(passphrase),
        stop_request_path_(std::move(stop_request_path)),
        status_(settings.status_path, settings.port),
        address_(listener_address(settings.port, settings.latency_ms)) {}

  int run();

 private:
  // What the loop does after one listening attempt: listen again at once, after the error pause, or
  // not at all.
  enum class Attempt { next, pause, fatal, stop };
  Attempt attempt();
  Attempt serve(Connection& connection);
  DecodeOutcome receive(Connection& connection, int video_index, ConnectionDecoder& decoder);
  void error(const char* message) {
    status_.set_state(LinkState::error, message);
    status_.publish();
  }
  Attempt fatal(const char* message) {
    error(message);
    fatal_error_ = message;
    return Attempt::fatal;
  }

  const Settings& settings_;
  const Passphrase& passphrase_;
  std::string stop_request_path_;  // read by the stop test through the interrupt callback's opaque
  StatusPublisher status_;
  std::string address_;
  // The reason of a fatal stop, kept in the final document so that the agent can tell why.
  std::string fatal_error_;
};

int Receiver::run() {
  status_.set_state(LinkState::listening);
  status_.publish();
  std::printf("wancapture listening on 0.0.0.0:%d, latency %d ms\n", settings_.port, settings_.latency_ms);
  std::fflush(stdout);

  while (keep_running.load() == 1) {
    if (status_.state() != LinkState::listening) {
      status_.set_state(LinkState::listening);
      status_.publish();
      std::printf("wancapture listening on 0.0.0.0:%d\n", settings_.port);
      std::fflush(stdout);
    }
    const Attempt outcome = attempt();
    if (outcome == Attempt::fatal || outcome == Attempt::stop) break;
    if (outcome == Attempt::pause) pause_after_error(stop_request_path_);
  }

  status_.set_state(LinkState::offline, fatal_error_);
  status_.publish();
  return kExitStopped;
}

Receiver::Attempt Receiver::attempt() {
  Connection connection;
  connection.input = avformat_alloc_context();
  if (connection.input == nullptr) return fatal("out of memory");
  connection.input->interrupt_callback.callback = stop_test;
  connection.input->interrupt_callback.opaque = &stop_request_path_;

  // The library takes the passphrase as a C string: one holding a NUL byte would reach it cut short
  // (empty, even, which means no encryption at all). Nothing a caller does can mend that.
  if (passphrase_.view().find('\0') != std::string_view::npos) {
    return fatal("SRT encryption settings do not match the sender");
  }
  AVDictionary* link_options = nullptr;
  if (!passphrase_.empty()) {
    av_dict_set(&link_options, "passphrase", passphrase_.c_str(), 0);
    av_dict_set(&link_options, "pbkeylen", std::to_string(effective_key_length(settings_, passphrase_)).c_str(), 0);
  }
  if (!settings_.stream_id.empty()) av_dict_set(&link_options, "streamid", settings_.stream_id.c_str(), 0);

  // A caller rejected for its encryption settings is only heard of through the log; the flag
  // belongs to this attempt alone.
  encryption_mismatch.store(false);
  local_option_refused.store(false);
  const int opened = avio_open2(&connection.link, address_.c_str(), AVIO_FLAG_READ,
                                &connection.input->interrupt_callback, &link_options);
  const bool not_taken = options_not_taken(link_options);
  free_options(&link_options);

  if (not_taken) return fatal("Can't read this source");
  if (opened < 0) {
    if (opened == AVERROR_EXIT || keep_running.load() == 0) return Attempt::stop;
    // This end's own library refused the settings before any caller came: listening again would
    // meet the same refusal for ever. Only a caller's wrong passphrase is worth listening on for.
    if (local_option_refused.load()) {
      return fatal(encryption_mismatch.load() ? "SRT encryption settings do not match the sender"
                                              : "Can't read this source");
    }
    if (encryption_mismatch.load()) {
      error("SRT encryption settings do not match the sender");
      return Attempt::pause;
    }
    if (opened == AVERROR(ETIMEDOUT) || opened == AVERROR(EAGAIN)) return Attempt::next;
    error("cannot listen for SRT");
    std::fprintf(stderr, "srt listen failed: %s\n", error_text(opened).c_str());
    return Attempt::pause;
  }
  return serve(connection);
}

Receiver::Attempt Receiver::serve(Connection& connection) {
  status_.set_state(LinkState::connecting);
  status_.publish();
  say("SRT sender connected\n");

  AVDictionary* probe_options = nullptr;
  av_dict_set(&probe_options, "probesize", "1000000", 0);
  av_dict_set(&probe_options, "analyzeduration", "1000000", 0);
  // Probing opens a decoder for every stream the caller announces; one video stream is all this
  // receiver reads, so a stream announcing thousands cannot make it hold thousands of decoders.
  av_dict_set(&probe_options, "max_streams", std::to_string(kMaxProbedStreams).c_str(), 0);
  void* reader_buffer = av_malloc(kReaderBufferBytes);
  if (reader_buffer != nullptr) {
    connection.reader = avio_alloc_context(static_cast<unsigned char*>(reader_buffer), kReaderBufferBytes, 0,
                                           &connection, read_link, nullptr, nullptr);
    if (connection.reader == nullptr) av_free(reader_buffer);
  }
  if (connection.reader == nullptr) {
    error("out of memory");
    return Attempt::pause;
  }
  connection.reader->seekable = 0;
  connection.accepted_ns = connection.last_useful_ns = connection.last_data_ns = receivers::monotonic_ns();
  connection.input->pb = connection.reader;
  // On failure the demuxer frees its context; the reader and the link stay with the connection.
  const int probed = avformat_open_input(&connection.input, address_.c_str(), nullptr, &probe_options);
  av_dict_free(&probe_options);
  if (probed < 0 || avformat_find_stream_info(connection.input, nullptr) < 0) {
    if (keep_running.load() == 0) return Attempt::stop;
    error("could not read the incoming stream");
    return Attempt::pause;
  }
  AVFormatContext* input = connection.input;
  const int video_index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  switch (check_stream(input, video_index)) {
    case StreamCheck::ok:
      break;
    case StreamCheck::not_mpegts:
      error("expected an MPEG-TS stream");
      std::fputs("expected an MPEG-TS stream\n", stderr);
      return Attempt::pause;
    case StreamCheck::not_h264:
      error("expected H.264 video");
      std::fputs("expected H.264 video\n", stderr);
      return Attempt::pause;
    case StreamCheck::bad_size:
      error("video dimensions are not supported");
      return Attempt::pause;
  }

  const AVStream* stream = input->streams[video_index];
  StatusRecord& s = status_.record();
  if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0) {
    s.frame_rate_n = stream->avg_frame_rate.num;
    s.frame_rate_d = stream->avg_frame_rate.den;
  } else if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0) {
    s.frame_rate_n = stream->r_frame_rate.num;
    s.frame_rate_d = stream->r_frame_rate.den;
  } else {
    s.frame_rate_n = 0;
    s.frame_rate_d = 0;
  }

  {
    ConnectionDecoder decoder(status_, settings_.preview_path);
    if (!decoder.open(stream->codecpar, true)) {
      error("could not open an H.264 decoder");
      return Attempt::pause;
    }
    s.decoder = decoder.name();
    status_.publish();
    std::printf("decoder: %s\n", decoder.name().c_str());
    std::fflush(stdout);
    if (receive(connection, video_index, decoder) == DecodeOutcome::undecodable) {
      error("could not decode H.264 video");
    }
  }

  if (keep_running.load() == 0) return Attempt::stop;
  if (status_.state() == LinkState::error) return Attempt::pause;
  status_.set_state(LinkState::offline);
  status_.publish();
  return Attempt::next;
}

DecodeOutcome Receiver::receive(Connection& connection, int video_index, ConnectionDecoder& decoder) {
  connection.last_packet_ns = receivers::monotonic_ns();
  while (decoder.ready()) {
    if (receivers::monotonic_ns() - connection.last_packet_ns > kStallNs) {
      say("SRT sender stalled; listening again\n");
      return DecodeOutcome::going_on;
    }
    AVPacket* packet = decoder.packet();
    const int result = av_read_frame(connection.input, packet);
    if (result == AVERROR(EAGAIN)) {
      platform::sleep_ms(1);  // nothing yet: yield instead of spinning on the library
      continue;
    }
    if (result == AVERROR_EXIT || keep_running.load() == 0) {
      av_packet_unref(packet);
      return DecodeOutcome::going_on;
    }
    if (result < 0) {
      say(connection.stalled ? "SRT sender stalled; listening again\n"
                             : "SRT sender disconnected; listening again\n");
      return DecodeOutcome::going_on;
    }
    connection.last_packet_ns = receivers::monotonic_ns();
    if (packet->stream_index != video_index || packet->size < 1 || packet->size > kMaxPacketBytes) {
      av_packet_unref(packet);
      continue;
    }
    if (decoder.handle_packet(packet) == DecodeOutcome::undecodable) return DecodeOutcome::undecodable;
    if (keep_running.load() == 0) return DecodeOutcome::going_on;
  }
  return DecodeOutcome::going_on;
}

}  // namespace

std::string listener_address(int port, int latency_ms) {
  char address[320];
  std::snprintf(address, sizeof address,
                "srt://0.0.0.0:%d?mode=listener&transtype=live&latency=%d&listen_timeout=%d&timeout=5000000", port,
                latency_ms * 1000, kListenTimeoutUs);
  return address;
}

std::string stop_request_path_for_status(const std::string& status_path) {
  const auto separator = status_path.find_last_of("/\\");
  const std::string folder = separator == std::string::npos ? std::string() : status_path.substr(0, separator + 1);
  return folder + "srt_stop.request";
}

int run_receiver(const Settings& settings, Passphrase& passphrase) {
  std::string stop_request_path = stop_request_path_for_status(settings.status_path);
  platform::delete_file(stop_request_path);
  platform::install_console_stop_handler();
  int exit_code = kExitStopped;
  {
    platform::ProcessRuntime runtime;
    av_max_alloc(kMaxLibraryAllocation);
    set_log_passphrase(passphrase.view());
    install_log_filter();
    avformat_network_init();
    exit_code = Receiver(settings, passphrase, std::move(stop_request_path)).run();
    avformat_network_deinit();
  }
  set_log_passphrase({});
  passphrase.wipe();
  say("wancapture stopped\n");
  return exit_code;
}

}  // namespace tessaryn::wancapture
