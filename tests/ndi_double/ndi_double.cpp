// A stand-in for the video-over-IP runtime, built as a real shared library with the runtime's
// fourteen C entry points, so that the real lancapture binary can be run against it end to end.
//
// It is steered by a control file (path in NDI_DOUBLE_CONTROL), read again whenever it changes, one
// directive per line; byte strings are "-" (absent), "hex:<hex digits>" or plain text:
//   source NAME URL RRGGBB live|silent   a discovered source; a live one sends video once connected
//   video WIDTH HEIGHT STRIDE RATE_N RATE_D   frames of every live source (stride 0: 4 x width)
//   extras N                  one audio and one metadata frame after each video frame when N > 0
//   fail initialize|find_create|recv_create
//   error TOKEN               one error frame each time TOKEN changes
//   other TOKEN TYPE          one frame of TYPE (e.g. 100, status change) each time TOKEN changes
//   connections N             the connection count while connected to a listed source (default 1)
//   linger N                  N more frames of a live source after the receiver leaves it
//   shared_frames 1           every video frame points at one buffer (for benchmarks: no copy)
//
// It watches its caller and writes a JSON report (path in NDI_DOUBLE_REPORT) at NDIlib_destroy, at
// each misuse and when it is unloaded: frames not freed, frees of frames it never handed out, calls
// before initialisation or after destruction, unknown instances, capture records not reset to the
// defaults, instances left alive. Frame buffers and source lists are freed when given back or
// superseded (after being overwritten), so a late use shows up under the sanitizers too.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "receivers/lancapture/ndi_abi.hpp"

using namespace tessaryn::lancapture::ndi;

#define NDI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Bytes = std::optional<std::string>;

struct ListedSource {
  Bytes name;
  Bytes url;
  std::uint8_t bgr[3] = {128, 128, 128};
  bool live = true;
};

struct Control {
  std::vector<ListedSource> sources;
  int width = 64;
  int height = 48;
  int stride = 0;
  int rate_n = 30;
  int rate_d = 1;
  int extras = 0;
  bool fail_initialize = false;
  bool fail_find_create = false;
  bool fail_recv_create = false;
  std::string error_token;
  std::string other_token;
  int other_type = kFrameStatusChange;
  int connections = 1;
  int linger = 0;
  bool shared_frames = false;
};

enum class Kind { video, audio, metadata };

struct Finder {
  std::vector<Source> array;
  std::vector<char*> strings;
  std::optional<std::vector<std::pair<Bytes, Bytes>>> last_returned;
};

struct Receiver {
  std::optional<std::string> connected;  // the name connected to, if any
  std::int64_t next_due = 0;
  std::uint64_t frames = 0;
  std::string lingering;
  int lingering_left = 0;
  std::vector<int> pending;  // frame types owed after a video frame or a token change
};

struct Outstanding {
  Receiver* receiver;
  Kind kind;
};

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleep_ns(std::int64_t ns) {
  if (ns <= 0) return;
  timespec rest{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string json_bytes(const Bytes& bytes) { return bytes ? "\"" + hex(*bytes) + "\"" : "null"; }

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 32 || c >= 127) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

Bytes parse_bytes(const std::string& token) {
  if (token == "-") return std::nullopt;
  if (token.rfind("hex:", 0) != 0) return token;
  std::string out;
  for (std::size_t i = 4; i + 1 < token.size(); i += 2) {
    out += static_cast<char>(std::strtol(token.substr(i, 2).c_str(), nullptr, 16));
  }
  return out;
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) tokens.push_back(line.substr(i, j - i));
    i = j;
  }
  return tokens;
}

int number(const std::vector<std::string>& t, std::size_t i, int fallback) {
  return i < t.size() ? std::atoi(t[i].c_str()) : fallback;
}

Control parse_control(const std::string& text) {
  Control c;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::vector<std::string> t = split(text.substr(start, end - start));
    start = end + 1;
    if (t.empty() || t[0][0] == '#') continue;
    const std::string& key = t[0];
    if (key == "source" && t.size() >= 3) {
      ListedSource s;
      s.name = parse_bytes(t[1]);
      s.url = parse_bytes(t[2]);
      if (t.size() >= 4 && t[3].size() == 6) {
        const unsigned long rgb = std::strtoul(t[3].c_str(), nullptr, 16);
        s.bgr[0] = static_cast<std::uint8_t>(rgb & 0xff);
        s.bgr[1] = static_cast<std::uint8_t>((rgb >> 8) & 0xff);
        s.bgr[2] = static_cast<std::uint8_t>((rgb >> 16) & 0xff);
      }
      s.live = t.size() < 5 || t[4] != "silent";
      c.sources.push_back(s);
    } else if (key == "video") {
      c.width = number(t, 1, c.width);
      c.height = number(t, 2, c.height);
      c.stride = number(t, 3, c.stride);
      c.rate_n = number(t, 4, c.rate_n);
      c.rate_d = number(t, 5, c.rate_d);
    } else if (key == "extras") {
      c.extras = number(t, 1, 0);
    } else if (key == "fail" && t.size() >= 2) {
      c.fail_initialize |= t[1] == "initialize";
      c.fail_find_create |= t[1] == "find_create";
      c.fail_recv_create |= t[1] == "recv_create";
    } else if (key == "error" && t.size() >= 2) {
      c.error_token = t[1];
    } else if (key == "other" && t.size() >= 2) {
      c.other_token = t[1];
      c.other_type = number(t, 2, kFrameStatusChange);
    } else if (key == "connections") {
      c.connections = number(t, 1, 1);
    } else if (key == "linger") {
      c.linger = number(t, 1, 0);
    } else if (key == "shared_frames") {
      c.shared_frames = number(t, 1, 0) != 0;
    }
  }
  if (c.width < 1) c.width = 1;
  if (c.height < 1) c.height = 1;
  if (c.stride < 4 * c.width) c.stride = 4 * c.width;
  if (c.rate_n < 1) c.rate_n = 30;
  if (c.rate_d < 1) c.rate_d = 1;
  return c;
}

std::string read_file(const std::string& path) {
  std::string content;
  if (path.empty()) return content;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  std::fclose(file);
  return content;
}

// The frame every live source sends: four quadrants (the source's colour, white, black, green),
// a fourth byte that must be ignored, and row padding that shows up if the stride is ignored.
std::vector<std::uint8_t> render_frame(const Control& c, const std::uint8_t bgr[3]) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(c.stride) * static_cast<std::size_t>(c.height), 0xA5);
  static const std::uint8_t white[3] = {255, 255, 255}, black[3] = {0, 0, 0}, green[3] = {0, 200, 0};
  for (int y = 0; y < c.height; ++y) {
    std::uint8_t* row = frame.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(c.stride);
    const bool top = y * 2 < c.height;
    for (int x = 0; x < c.width; ++x) {
      const bool left = x * 2 < c.width;
      const std::uint8_t* colour = top ? (left ? bgr : white) : (left ? black : green);
      std::uint8_t* px = row + 4 * x;
      px[0] = colour[0];
      px[1] = colour[1];
      px[2] = colour[2];
      px[3] = 0x3C;
    }
  }
  return frame;
}

class Double {
 public:
  Double() {
    if (const char* p = std::getenv("NDI_DOUBLE_CONTROL")) control_path_ = p;
    if (const char* p = std::getenv("NDI_DOUBLE_REPORT")) report_path_ = p;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&monotonic_ns), &info) != 0 && info.dli_fname != nullptr) {
      library_ = info.dli_fname;
    }
    refresh_control();
  }

  ~Double() {
    std::lock_guard lock(mutex_);
    if (initialized_) violation("unloaded without NDIlib_destroy");
    check_leftovers("at unload");
    unloaded_ = true;
    write_report();
    for (auto& [data, out] : outstanding_) release(data, out.kind);
    for (Finder* f : finders_) {
      invalidate(*f);
      delete f;
    }
    for (Receiver* r : receivers_) delete r;
  }

  bool initialize() {
    std::lock_guard lock(mutex_);
    refresh_control();
    ++initialize_calls_;
    if (control_.fail_initialize) return false;
    initialized_ = true;
    return true;
  }

  void destroy() {
    std::lock_guard lock(mutex_);
    ++destroy_calls_;
    if (!initialized_) violation("NDIlib_destroy without a successful NDIlib_initialize");
    check_leftovers("at NDIlib_destroy");
    initialized_ = false;
    write_report();
  }

  void* find_create(const FindCreate* settings) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_find_create_v2");
    refresh_control();
    find_settings_ = settings == nullptr
                         ? "null"
                         : "{\"show_local_sources\": " + std::string(settings->show_local_sources ? "true" : "false") +
                               ", \"groups\": " + json_bytes(opt(settings->p_groups)) +
                               ", \"extra_ips\": " + json_bytes(opt(settings->p_extra_ips)) + "}";
    if (control_.fail_find_create) return nullptr;
    Finder* f = new Finder;
    finders_.insert(f);
    ++finders_created_;
    return f;
  }

  void find_destroy(void* instance) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_find_destroy");
    Finder* f = finder(instance, "NDIlib_find_destroy");
    if (f == nullptr) return;
    invalidate(*f);
    finders_.erase(f);
    delete f;
    ++finders_destroyed_;
  }

  bool find_wait(void* instance, std::uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    guard("NDIlib_find_wait_for_sources");
    ++wait_timeouts_[timeout_ms];
    Finder* f = finder(instance, "NDIlib_find_wait_for_sources");
    if (f == nullptr) return false;
    invalidate(*f);
    refresh_control();
    if (!f->last_returned || *f->last_returned != listing()) return true;
    lock.unlock();
    sleep_ns(static_cast<std::int64_t>(timeout_ms) * 1000000LL);
    return false;
  }

  const Source* find_sources(void* instance, std::uint32_t* count) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_find_get_current_sources");
    if (count != nullptr) *count = 0;
    Finder* f = finder(instance, "NDIlib_find_get_current_sources");
    if (f == nullptr) return nullptr;
    invalidate(*f);
    refresh_control();
    f->last_returned = listing();
    for (const ListedSource& s : control_.sources) {
      f->array.push_back(Source{keep(*f, s.name), keep(*f, s.url)});
    }
    if (count != nullptr) *count = static_cast<std::uint32_t>(f->array.size());
    return f->array.empty() ? nullptr : f->array.data();
  }

  void* recv_create(const RecvCreateV3* settings) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_recv_create_v3");
    refresh_control();
    if (settings == nullptr) {
      recv_settings_ = "null";
    } else {
      recv_settings_ = "{\"source_name\": " + json_bytes(opt(settings->source_to_connect_to.p_ndi_name)) +
                       ", \"source_url\": " + json_bytes(opt(settings->source_to_connect_to.p_url_address)) +
                       ", \"color_format\": " + std::to_string(settings->color_format) +
                       ", \"bandwidth\": " + std::to_string(settings->bandwidth) +
                       ", \"allow_video_fields\": " + (settings->allow_video_fields ? "true" : "false") +
                       ", \"name\": " + json_bytes(opt(settings->p_ndi_recv_name)) + "}";
    }
    if (control_.fail_recv_create) return nullptr;
    Receiver* r = new Receiver;
    receivers_.insert(r);
    ++receivers_created_;
    return r;
  }

  void recv_destroy(void* instance) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_recv_destroy");
    Receiver* r = receiver(instance, "NDIlib_recv_destroy");
    if (r == nullptr) return;
    std::size_t left = 0;
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
      if (it->second.receiver == r) {
        release(it->first, it->second.kind);
        it = outstanding_.erase(it);
        ++left;
      } else {
        ++it;
      }
    }
    if (left > 0) violation("frames not freed at NDIlib_recv_destroy");
    receivers_.erase(r);
    delete r;
    ++receivers_destroyed_;
  }

  void recv_connect(void* instance, const Source* source) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_recv_connect");
    Receiver* r = receiver(instance, "NDIlib_recv_connect");
    if (r == nullptr) return;
    refresh_control();
    ++connect_calls_;
    if (connects_.size() < 2000) {
      connects_.push_back(source == nullptr ? "null"
                                            : "[" + json_bytes(opt(source->p_ndi_name)) + ", " +
                                                  json_bytes(opt(source->p_url_address)) + "]");
    }
    const std::optional<std::string> target =
        source != nullptr && source->p_ndi_name != nullptr ? std::optional<std::string>(source->p_ndi_name)
                                                           : std::nullopt;
    if (r->connected && target != r->connected && sending(*r->connected) != nullptr && control_.linger > 0) {
      r->lingering = *r->connected;
      r->lingering_left = control_.linger;
    }
    r->connected = target;
    r->next_due = monotonic_ns();
    // What the old connection still owed goes with it; only lingering video outlives it.
    r->pending.clear();
  }

  std::int32_t capture(void* instance, VideoFrameV2* video, AudioFrameV3* audio, MetadataFrame* metadata,
                       std::uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    guard("NDIlib_recv_capture_v3");
    ++capture_timeouts_[timeout_ms];
    Receiver* r = receiver(instance, "NDIlib_recv_capture_v3");
    if (r == nullptr) return kFrameNone;
    check_defaults(video, audio, metadata);
    refresh_control();
    if (control_.error_token != seen_error_token_) {
      seen_error_token_ = control_.error_token;
      if (!seen_error_token_.empty()) r->pending.push_back(kFrameError);
    }
    if (control_.other_token != seen_other_token_) {
      seen_other_token_ = control_.other_token;
      if (!seen_other_token_.empty()) r->pending.push_back(control_.other_type);
    }
    const std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000LL;
    for (;;) {
      while (!r->pending.empty()) {
        const int type = r->pending.front();
        r->pending.erase(r->pending.begin());
        if (type == kFrameAudio) {
          if (audio != nullptr) return deliver_audio(*r, *audio);
        } else if (type == kFrameMetadata) {
          if (metadata != nullptr) return deliver_metadata(*r, *metadata);
        } else {
          if (type == kFrameError) ++delivered_error_;
          else ++delivered_other_;
          return type;
        }
      }
      const ListedSource* from = nullptr;
      if (r->lingering_left > 0) from = sending(r->lingering);
      const bool lingering = from != nullptr;
      if (from == nullptr && r->connected) from = sending(*r->connected);
      const std::int64_t now = monotonic_ns();
      if (from != nullptr && video != nullptr && now >= r->next_due) {
        if (lingering) --r->lingering_left;
        const std::int64_t period = 1000000000LL * control_.rate_d / control_.rate_n;
        r->next_due = r->next_due + period < now - period ? now : r->next_due + period;
        for (int i = 0; i < control_.extras; ++i) {
          r->pending.push_back(kFrameAudio);
          r->pending.push_back(kFrameMetadata);
        }
        return deliver_video(*r, *from, *video);
      }
      const std::int64_t until = from != nullptr && video != nullptr ? std::min(r->next_due, deadline) : deadline;
      if (now >= deadline) return kFrameNone;
      lock.unlock();
      sleep_ns(until - now);
      lock.lock();
      if (receivers_.count(r) == 0) return kFrameNone;
      if (until >= deadline) return kFrameNone;
    }
  }

  void free_frame(void* instance, const void* data, Kind kind, const char* function) {
    std::lock_guard lock(mutex_);
    guard(function);
    Receiver* r = receiver(instance, function);
    auto range = outstanding_.equal_range(data);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second.receiver == r && it->second.kind == kind) {
        release(it->first, kind);
        outstanding_.erase(it);
        ++freed_[static_cast<int>(kind)];
        return;
      }
    }
    violation(std::string(function) + " of a frame that is not outstanding");
  }

  int connections(void* instance) {
    std::lock_guard lock(mutex_);
    guard("NDIlib_recv_get_no_connections");
    Receiver* r = receiver(instance, "NDIlib_recv_get_no_connections");
    if (r == nullptr || !r->connected) return 0;
    refresh_control();
    for (const ListedSource& s : control_.sources) {
      if (s.name && *s.name == *r->connected) return control_.connections;
    }
    return 0;
  }

 private:
  static Bytes opt(const char* text) { return text == nullptr ? Bytes() : Bytes(text); }

  void refresh_control() {
    std::string text = read_file(control_path_);
    if (text == control_text_ && control_read_) return;
    control_read_ = true;
    control_text_ = std::move(text);
    control_ = parse_control(control_text_);
  }

  std::vector<std::pair<Bytes, Bytes>> listing() const {
    std::vector<std::pair<Bytes, Bytes>> list;
    for (const ListedSource& s : control_.sources) list.emplace_back(s.name, s.url);
    return list;
  }

  const ListedSource* sending(const std::string& name) const {
    for (const ListedSource& s : control_.sources) {
      if (s.name && *s.name == name) return s.live ? &s : nullptr;
    }
    return nullptr;
  }

  const char* keep(Finder& f, const Bytes& bytes) {
    if (!bytes) return nullptr;
    char* copy = new char[bytes->size() + 1];
    std::memcpy(copy, bytes->c_str(), bytes->size() + 1);
    f.strings.push_back(copy);
    return copy;
  }

  // The list handed out before is valid only until the next call on the finder: overwritten, then freed.
  static void invalidate(Finder& f) {
    for (char* s : f.strings) {
      std::memset(s, '#', std::strlen(s));
      delete[] s;
    }
    f.strings.clear();
    f.array.clear();
    f.array.shrink_to_fit();
  }

  void guard(const char* function) {
    if (initialized_) return;
    violation(std::string(function) + (destroy_calls_ > 0 ? " called after NDIlib_destroy"
                                                         : " called before NDIlib_initialize"));
  }

  Finder* finder(void* instance, const char* function) {
    Finder* f = static_cast<Finder*>(instance);
    if (finders_.count(f) != 0) return f;
    violation(std::string(function) + " with an unknown finder");
    return nullptr;
  }

  Receiver* receiver(void* instance, const char* function) {
    Receiver* r = static_cast<Receiver*>(instance);
    if (receivers_.count(r) != 0) return r;
    violation(std::string(function) + " with an unknown receiver");
    return nullptr;
  }

  void check_defaults(const VideoFrameV2* v, const AudioFrameV3* a, const MetadataFrame* m) {
    const VideoFrameV2 dv = default_video_frame();
    if (v != nullptr && (v->xres != dv.xres || v->yres != dv.yres || v->FourCC != dv.FourCC ||
                         v->frame_rate_N != dv.frame_rate_N || v->frame_rate_D != dv.frame_rate_D ||
                         v->picture_aspect_ratio != dv.picture_aspect_ratio ||
                         v->frame_format_type != dv.frame_format_type || v->timecode != dv.timecode ||
                         v->p_data != nullptr || v->line_stride_in_bytes != 0 || v->p_metadata != nullptr ||
                         v->timestamp != 0)) {
      violation("capture with a video frame record not at its defaults");
    }
    const AudioFrameV3 da = default_audio_frame();
    if (a != nullptr && (a->sample_rate != da.sample_rate || a->no_channels != da.no_channels ||
                         a->no_samples != 0 || a->timecode != da.timecode || a->FourCC != da.FourCC ||
                         a->p_data != nullptr || a->channel_stride_in_bytes != 0 || a->p_metadata != nullptr ||
                         a->timestamp != 0)) {
      violation("capture with an audio frame record not at its defaults");
    }
    if (m != nullptr && (m->length != 0 || m->timecode != kTimecodeSynthesize || m->p_data != nullptr)) {
      violation("capture with a metadata frame record not at its defaults");
    }
  }

  std::int32_t deliver_video(Receiver& r, const ListedSource& from, VideoFrameV2& v) {
    // Kept for the life of the library: a shared frame may still be out when the control changes.
    const std::string key = std::string(reinterpret_cast<const char*>(from.bgr), 3) + std::to_string(control_.width) +
                            "x" + std::to_string(control_.height) + "/" + std::to_string(control_.stride);
    auto& frame = templates_[key];
    if (frame.empty()) frame = render_frame(control_, from.bgr);
    std::uint8_t* data = nullptr;
    if (control_.shared_frames) {
      data = frame.data();
      shared_.insert(data);
    } else {
      data = new std::uint8_t[frame.size()];
      std::memcpy(data, frame.data(), frame.size());
    }
    v.xres = control_.width;
    v.yres = control_.height;
    v.FourCC = kFourccBgrx;
    v.frame_rate_N = control_.rate_n;
    v.frame_rate_D = control_.rate_d;
    v.picture_aspect_ratio = static_cast<float>(control_.width) / static_cast<float>(control_.height);
    v.frame_format_type = kFrameFormatProgressive;
    v.timecode = static_cast<std::int64_t>(r.frames) * 333333;
    v.p_data = data;
    v.line_stride_in_bytes = control_.stride;
    v.p_metadata = nullptr;
    v.timestamp = monotonic_ns() / 100;
    ++r.frames;
    outstanding_.emplace(data, Outstanding{&r, Kind::video});
    ++delivered_[0];
    return kFrameVideo;
  }

  std::int32_t deliver_audio(Receiver& r, AudioFrameV3& a) {
    const int samples = 48000 * control_.rate_d / control_.rate_n;
    auto* data = new float[static_cast<std::size_t>(samples) * 2]();
    a.sample_rate = 48000;
    a.no_channels = 2;
    a.no_samples = samples;
    a.FourCC = kFourccFltp;
    a.p_data = reinterpret_cast<std::uint8_t*>(data);
    a.channel_stride_in_bytes = samples * 4;
    outstanding_.emplace(a.p_data, Outstanding{&r, Kind::audio});
    ++delivered_[1];
    return kFrameAudio;
  }

  std::int32_t deliver_metadata(Receiver& r, MetadataFrame& m) {
    const std::string xml = "<ndi_double frame=\"" + std::to_string(r.frames) + "\"/>";
    char* data = new char[xml.size() + 1];
    std::memcpy(data, xml.c_str(), xml.size() + 1);
    m.length = static_cast<int>(xml.size() + 1);
    m.p_data = data;
    outstanding_.emplace(data, Outstanding{&r, Kind::metadata});
    ++delivered_[2];
    return kFrameMetadata;
  }

  void release(const void* data, Kind kind) {
    if (kind == Kind::video) {
      if (shared_.count(data) == 0) delete[] static_cast<const std::uint8_t*>(data);
    } else if (kind == Kind::audio) {
      delete[] reinterpret_cast<const float*>(data);
    } else {
      delete[] static_cast<const char*>(data);
    }
  }

  void check_leftovers(const char* when) {
    if (!outstanding_.empty()) violation(std::string("frames not freed ") + when);
    if (!finders_.empty()) violation(std::string("finder not destroyed ") + when);
    if (!receivers_.empty()) violation(std::string("receiver not destroyed ") + when);
  }

  void violation(const std::string& what) {
    const bool first = violations_[what]++ == 0;
    if (first) write_report();
  }

  void write_report() const {
    if (report_path_.empty()) return;
    std::string out = "{\n";
    out += "  \"library\": " + json_text(library_) + ",\n";
    out += "  \"initialize_calls\": " + std::to_string(initialize_calls_) + ",\n";
    out += "  \"destroy_calls\": " + std::to_string(destroy_calls_) + ",\n";
    out += "  \"unloaded\": " + std::string(unloaded_ ? "true" : "false") + ",\n";
    out += "  \"finders_created\": " + std::to_string(finders_created_) + ",\n";
    out += "  \"finders_destroyed\": " + std::to_string(finders_destroyed_) + ",\n";
    out += "  \"find_settings\": " + (find_settings_.empty() ? std::string("null") : find_settings_) + ",\n";
    out += "  \"receivers_created\": " + std::to_string(receivers_created_) + ",\n";
    out += "  \"receivers_destroyed\": " + std::to_string(receivers_destroyed_) + ",\n";
    out += "  \"recv_settings\": " + (recv_settings_.empty() ? std::string("null") : recv_settings_) + ",\n";
    out += "  \"connect_calls\": " + std::to_string(connect_calls_) + ",\n";
    out += "  \"connects\": [";
    for (std::size_t i = 0; i < connects_.size(); ++i) out += (i ? ", " : "") + connects_[i];
    out += "],\n";
    auto table = [](const std::map<std::uint32_t, std::uint64_t>& m) {
      std::string s = "{";
      for (const auto& [k, v] : m) s += (s.size() > 1 ? ", \"" : "\"") + std::to_string(k) + "\": " + std::to_string(v);
      return s + "}";
    };
    out += "  \"wait_timeouts\": " + table(wait_timeouts_) + ",\n";
    out += "  \"capture_timeouts\": " + table(capture_timeouts_) + ",\n";
    out += "  \"delivered\": {\"video\": " + std::to_string(delivered_[0]) + ", \"audio\": " +
           std::to_string(delivered_[1]) + ", \"metadata\": " + std::to_string(delivered_[2]) +
           ", \"error\": " + std::to_string(delivered_error_) + ", \"other\": " + std::to_string(delivered_other_) +
           "},\n";
    out += "  \"freed\": {\"video\": " + std::to_string(freed_[0]) + ", \"audio\": " + std::to_string(freed_[1]) +
           ", \"metadata\": " + std::to_string(freed_[2]) + "},\n";
    out += "  \"outstanding\": " + std::to_string(outstanding_.size()) + ",\n";
    out += "  \"violations\": {";
    bool first = true;
    for (const auto& [what, n] : violations_) {
      out += (first ? "" : ", ") + json_text(what) + ": " + std::to_string(n);
      first = false;
    }
    out += "}\n}\n";
    const std::string temp = report_path_ + ".tmp";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) return;
    std::fwrite(out.data(), 1, out.size(), file);
    std::fclose(file);
    std::rename(temp.c_str(), report_path_.c_str());
  }

  std::mutex mutex_;
  std::string control_path_, report_path_, library_;
  std::string control_text_;
  bool control_read_ = false;
  Control control_;
  std::map<std::string, std::vector<std::uint8_t>> templates_;
  std::set<const void*> shared_;
  std::string seen_error_token_, seen_other_token_;
  bool initialized_ = false;
  bool unloaded_ = false;
  std::uint64_t initialize_calls_ = 0, destroy_calls_ = 0;
  std::set<Finder*> finders_;
  std::set<Receiver*> receivers_;
  std::uint64_t finders_created_ = 0, finders_destroyed_ = 0, receivers_created_ = 0, receivers_destroyed_ = 0;
  std::string find_settings_, recv_settings_;
  std::uint64_t connect_calls_ = 0;
  std::vector<std::string> connects_;
  std::map<std::uint32_t, std::uint64_t> wait_timeouts_, capture_timeouts_;
  std::uint64_t delivered_[3] = {0, 0, 0}, freed_[3] = {0, 0, 0};
  std::uint64_t delivered_error_ = 0, delivered_other_ = 0;
  std::multimap<const void*, Outstanding> outstanding_;
  std::map<std::string, std::uint64_t> violations_;
};

Double& the_double() {
  static Double instance;
  return instance;
}

}  // namespace

NDI_EXPORT bool NDIlib_initialize(void) { return the_double().initialize(); }
NDI_EXPORT void NDIlib_destroy(void) { the_double().destroy(); }
NDI_EXPORT void* NDIlib_find_create_v2(const FindCreate* settings) { return the_double().find_create(settings); }
NDI_EXPORT void NDIlib_find_destroy(void* finder) { the_double().find_destroy(finder); }
NDI_EXPORT bool NDIlib_find_wait_for_sources(void* finder, std::uint32_t timeout_ms) {
  return the_double().find_wait(finder, timeout_ms);
}
NDI_EXPORT const Source* NDIlib_find_get_current_sources(void* finder, std::uint32_t* count) {
  return the_double().find_sources(finder, count);
}
NDI_EXPORT void* NDIlib_recv_create_v3(const RecvCreateV3* settings) { return the_double().recv_create(settings); }
NDI_EXPORT void NDIlib_recv_destroy(void* receiver) { the_double().recv_destroy(receiver); }
NDI_EXPORT void NDIlib_recv_connect(void* receiver, const Source* source) {
  the_double().recv_connect(receiver, source);
}
NDI_EXPORT std::int32_t NDIlib_recv_capture_v3(void* receiver, VideoFrameV2* video, AudioFrameV3* audio,
                                               MetadataFrame* metadata, std::uint32_t timeout_ms) {
  return the_double().capture(receiver, video, audio, metadata, timeout_ms);
}
NDI_EXPORT void NDIlib_recv_free_video_v2(void* receiver, const VideoFrameV2* frame) {
  the_double().free_frame(receiver, frame == nullptr ? nullptr : frame->p_data, Kind::video,
                          "NDIlib_recv_free_video_v2");
}
NDI_EXPORT void NDIlib_recv_free_audio_v3(void* receiver, const AudioFrameV3* frame) {
  the_double().free_frame(receiver, frame == nullptr ? nullptr : frame->p_data, Kind::audio,
                          "NDIlib_recv_free_audio_v3");
}
NDI_EXPORT void NDIlib_recv_free_metadata(void* receiver, const MetadataFrame* frame) {
  the_double().free_frame(receiver, frame == nullptr ? nullptr : frame->p_data, Kind::metadata,
                          "NDIlib_recv_free_metadata");
}
#ifndef NDI_DOUBLE_WITHOUT_CONNECTIONS
NDI_EXPORT int NDIlib_recv_get_no_connections(void* receiver) { return the_double().connections(receiver); }
#endif
