// The records and entry points of the video-over-IP runtime, declared here from its published C
// interface (x86-64) so that the vendor's library can be dropped in unchanged and no vendor header
// is needed to build. Only the fields the receiver fills or reads are relied on; the offsets are
// pinned below because a wrong layout would read garbage without any error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaryn::lancapture::ndi {

struct Source {
  const char* p_ndi_name;
  const char* p_url_address;
};

struct FindCreate {
  bool show_local_sources;
  const char* p_groups;
  const char* p_extra_ips;
};

struct RecvCreateV3 {
  Source source_to_connect_to;
  std::int32_t color_format;
  std::int32_t bandwidth;
  bool allow_video_fields;
  const char* p_ndi_recv_name;
};

struct VideoFrameV2 {
  int xres;
  int yres;
  std::uint32_t FourCC;
  int frame_rate_N;
  int frame_rate_D;
  float picture_aspect_ratio;
  std::int32_t frame_format_type;
  std::int64_t timecode;
  std::uint8_t* p_data;
  int line_stride_in_bytes;
  const char* p_metadata;
  std::int64_t timestamp;
};

struct AudioFrameV3 {
  int sample_rate;
  int no_channels;
  int no_samples;
  std::int64_t timecode;
  std::uint32_t FourCC;
  std::uint8_t* p_data;
  int channel_stride_in_bytes;
  const char* p_metadata;
  std::int64_t timestamp;
};

struct MetadataFrame {
  int length;
  std::int64_t timecode;
  char* p_data;
};

// Every field's offset is pinned, not only the sizes: neighbours of one type (xres and yres, the
// frame rate's two halves, sample_rate and no_channels, color_format and bandwidth) could be swapped
// without changing any size, and the runtime double, built from this same header, would not notice.
static_assert(sizeof(Source) == 16 && offsetof(Source, p_ndi_name) == 0 && offsetof(Source, p_url_address) == 8);
static_assert(sizeof(FindCreate) == 24 && offsetof(FindCreate, show_local_sources) == 0 &&
              offsetof(FindCreate, p_groups) == 8 && offsetof(FindCreate, p_extra_ips) == 16);
static_assert(sizeof(RecvCreateV3) == 40 && offsetof(RecvCreateV3, source_to_connect_to) == 0 &&
              offsetof(RecvCreateV3, color_format) == 16 && offsetof(RecvCreateV3, bandwidth) == 20 &&
              offsetof(RecvCreateV3, allow_video_fields) == 24 && offsetof(RecvCreateV3, p_ndi_recv_name) == 32);
static_assert(sizeof(VideoFrameV2) == 72 && offsetof(VideoFrameV2, xres) == 0 && offsetof(VideoFrameV2, yres) == 4 &&
              offsetof(VideoFrameV2, FourCC) == 8 && offsetof(VideoFrameV2, frame_rate_N) == 12 &&
              offsetof(VideoFrameV2, frame_rate_D) == 16 && offsetof(VideoFrameV2, picture_aspect_ratio) == 20 &&
              offsetof(VideoFrameV2, frame_format_type) == 24 && offsetof(VideoFrameV2, timecode) == 32 &&
              offsetof(VideoFrameV2, p_data) == 40 && offsetof(VideoFrameV2, line_stride_in_bytes) == 48 &&
              offsetof(VideoFrameV2, p_metadata) == 56 && offsetof(VideoFrameV2, timestamp) == 64);
static_assert(sizeof(AudioFrameV3) == 64 && offsetof(AudioFrameV3, sample_rate) == 0 &&
              offsetof(AudioFrameV3, no_channels) == 4 && offsetof(AudioFrameV3, no_samples) == 8 &&
              offsetof(AudioFrameV3, timecode) == 16 && offsetof(AudioFrameV3, FourCC) == 24 &&
              offsetof(AudioFrameV3, p_data) == 32 && offsetof(AudioFrameV3, channel_stride_in_bytes) == 40 &&
              offsetof(AudioFrameV3, p_metadata) == 48 && offsetof(AudioFrameV3, timestamp) == 56);
static_assert(sizeof(MetadataFrame) == 24 && offsetof(MetadataFrame, length) == 0 &&
              offsetof(MetadataFrame, timecode) == 8 && offsetof(MetadataFrame, p_data) == 16);

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}
inline constexpr std::uint32_t kFourccUyvy = fourcc('U', 'Y', 'V', 'Y');
inline constexpr std::uint32_t kFourccBgrx = fourcc('B', 'G', 'R', 'X');
inline constexpr std::uint32_t kFourccBgra = fourcc('B', 'G', 'R', 'A');
inline constexpr std::uint32_t kFourccFltp = fourcc('F', 'L', 'T', 'p');

inline constexpr std::int32_t kColorFormatBgrxBgra = 0;
inline constexpr std::int32_t kBandwidthHighest = 100;
inline constexpr std::int32_t kFrameFormatProgressive = 1;
// The runtime fills in a time code when it is given this one.
inline constexpr std::int64_t kTimecodeSynthesize = INT64_MAX;

enum FrameType : std::int32_t {
  kFrameNone = 0,
  kFrameVideo = 1,
  kFrameAudio = 2,
  kFrameMetadata = 3,
  kFrameError = 4,
  kFrameStatusChange = 100,
};

// The values the vendor's own record constructors give; a capture starts from these.
constexpr VideoFrameV2 default_video_frame() {
  return VideoFrameV2{0, 0, kFourccUyvy, 30000, 1001, 0.0f, kFrameFormatProgressive, kTimecodeSynthesize,
                      nullptr, 0, nullptr, 0};
}
constexpr AudioFrameV3 default_audio_frame() {
  return AudioFrameV3{48000, 2, 0, kTimecodeSynthesize, kFourccFltp, nullptr, 0, nullptr, 0};
}
constexpr MetadataFrame default_metadata_frame() { return MetadataFrame{0, kTimecodeSynthesize, nullptr}; }

// The entry points as looked up by name (C calling convention, which is the platform default here).
using InitializeFn = bool (*)();
using DestroyFn = void (*)();
using FindCreateV2Fn = void* (*)(const FindCreate*);
using FindDestroyFn = void (*)(void*);
using FindWaitForSourcesFn = bool (*)(void*, std::uint32_t);
using FindGetCurrentSourcesFn = const Source* (*)(void*, std::uint32_t*);
using RecvCreateV3Fn = void* (*)(const RecvCreateV3*);
using RecvDestroyFn = void (*)(void*);
using RecvConnectFn = void (*)(void*, const Source*);
using RecvCaptureV3Fn = std::int32_t (*)(void*, VideoFrameV2*, AudioFrameV3*, MetadataFrame*, std::uint32_t);
using RecvFreeVideoV2Fn = void (*)(void*, const VideoFrameV2*);
using RecvFreeAudioV3Fn = void (*)(void*, const AudioFrameV3*);
using RecvFreeMetadataFn = void (*)(void*, const MetadataFrame*);
using RecvGetNoConnectionsFn = int (*)(void*);

struct EntryPoints {
  InitializeFn initialize = nullptr;
  DestroyFn destroy = nullptr;
  FindCreateV2Fn find_create_v2 = nullptr;
  FindDestroyFn find_destroy = nullptr;
  FindWaitForSourcesFn find_wait_for_sources = nullptr;
  FindGetCurrentSourcesFn find_get_current_sources = nullptr;
  RecvCreateV3Fn recv_create_v3 = nullptr;
  RecvDestroyFn recv_destroy = nullptr;
  RecvConnectFn recv_connect = nullptr;
  RecvCaptureV3Fn recv_capture_v3 = nullptr;
  RecvFreeVideoV2Fn recv_free_video_v2 = nullptr;
  RecvFreeAudioV3Fn recv_free_audio_v3 = nullptr;
  RecvFreeMetadataFn recv_free_metadata = nullptr;
  RecvGetNoConnectionsFn recv_get_no_connections = nullptr;
};

}  // namespace tessaryn::lancapture::ndi
