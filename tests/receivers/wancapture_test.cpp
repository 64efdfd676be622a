// wancapture's rules: sizing, command line, secret record, log filter, status document, decoding
// failure count, preview pacing and the preview writer.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "receivers/common/atomic_file.hpp"
#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/decoder.hpp"
#include "receivers/wancapture/listener.hpp"
#include "receivers/wancapture/log_filter.hpp"
#include "receivers/wancapture/secret.hpp"
#include "receivers/wancapture/self_test.hpp"
#include "receivers/wancapture/sizing.hpp"
#include "receivers/wancapture/status.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace fs = std::filesystem;
using namespace tessaryn::wancapture;

TEST(PreviewSize, Table) {
  struct Case {
    int width, height;
    std::optional<FrameSize> expected;
  };
  const Case cases[] = {
      {3840, 2160, FrameSize{1920, 1080}}, {2160, 3840, FrameSize{1080, 1920}}, {1920, 1080, FrameSize{1920, 1080}},
      {1280, 720, FrameSize{1280, 720}},   {1919, 1080, FrameSize{1919, 1080}}, {1921, 1080, FrameSize{1920, 1079}},
      {100, 100, FrameSize{100, 100}},     {2, 2, FrameSize{2, 2}},             {8192, 4320, FrameSize{1920, 1012}},
      {8192, 2, FrameSize{1920, 2}},  // a sliver keeps 2 rows
      {1, 100, std::nullopt},              {100, 1, std::nullopt},              {8193, 2, std::nullopt},
      {2, 8193, std::nullopt},             {8192, 4321, std::nullopt},          {0, 0, std::nullopt},
      {-1920, -1080, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preview_size(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
}

TEST(SelfTest, PassesSilently) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_self_test(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(IntegerOptions, ReadLikeAtolWithoutWrapping) {
  const std::pair<const char*, std::int32_t> cases32[] = {
      {"9000", 9000},          {"  \t42", 42},        {"+7", 7},         {"-3", -3},
      {"12abc", 12},           {"abc", 0},            {"", 0},           {"- 5", 0},
      {"0x10", 0},             {"2147483647", 2147483647},              {"2147483648", 2147483647},
      {"4294968296", 2147483647},  // would be 1000 if wrapped into 32 bits
      {"-2147483648", -2147483647 - 1}, {"-99999999999", -2147483647 - 1},
  };
  for (const auto& [text, value] : cases32) EXPECT_EQ(parse_int32(text), value) << text;
  EXPECT_EQ(parse_int64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parse_int64("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(parse_int64("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(parse_int64(" 1234567890123"), 1234567890123LL);
}

TEST(CommandLine, AcceptedSettings) {
  const CommandLine defaults = parse_command_line({});
  ASSERT_EQ(defaults.action, CommandAction::run);
  EXPECT_EQ(defaults.settings.port, 9000);
  EXPECT_EQ(defaults.settings.latency_ms, 120);
  EXPECT_EQ(defaults.settings.key_length, 0);
  EXPECT_EQ(defaults.settings.secret_fd, -1);
  EXPECT_EQ(defaults.settings.secret_handle, -1);
  EXPECT_EQ(defaults.settings.preview_path, "app/static/srt_preview.jpg");
  EXPECT_EQ(defaults.settings.status_path, "app/static/srt_status.json");

  const CommandLine c = parse_command_line({"--port", "1", "--port", "65535", "--latency", "8000", "--key-length",
                                            "16", "--stream-id", "--self-test", "--secret-fd", "0",
                                            "--secret-handle", "123456789012", "--preview", "app/static/Preview.jpg",
                                            "--status", "out/srt_status.json"});
  ASSERT_EQ(c.action, CommandAction::run);
  EXPECT_EQ(c.settings.port, 65535);  // a later option overrides an earlier one
  EXPECT_EQ(c.settings.latency_ms, 8000);
  EXPECT_EQ(c.settings.key_length, 16);
  EXPECT_EQ(c.settings.stream_id, "--self-test");  // a value is taken whatever it looks like
  EXPECT_EQ(c.settings.secret_fd, 0);
  EXPECT_EQ(c.settings.secret_handle, 123456789012LL);
  EXPECT_EQ(c.settings.preview_path, "app/static/Preview.jpg");
  EXPECT_EQ(c.settings.status_path, "out/srt_status.json");
}

TEST(CommandLine, ActionsAndRefusals) {
  const std::string usage = kUsageText;
  struct Case {
    std::vector<std::string> args;
    CommandAction action;
    int exit_code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--help"}, CommandAction::exit, 0, usage},
      {{"--port", "0", "--help"}, CommandAction::exit, 0, usage},
      {{"--port", "0", "--self-test"}, CommandAction::self_test, 0, ""},
      {{"--self-test", "--bogus"}, CommandAction::self_test, 0, ""},
      {{"--bogus"}, CommandAction::exit, 2, usage},
      {{"--Port", "9000"}, CommandAction::exit, 2, usage},
      {{"--port"}, CommandAction::exit, 2, usage},
      {{"--port", "0"}, CommandAction::exit, 2, usage},
      {{"--port", "65536"}, CommandAction::exit, 2, usage},
      {{"--port", "4294968296"}, CommandAction::exit, 2, usage},
      {{"--latency", "0"}, CommandAction::exit, 2, usage},
      {{"--latency", "8001"}, CommandAction::exit, 2, usage},
      {{"--preview", ""}, CommandAction::exit, 2, usage},
      {{"--preview", "app/static/ndi_preview.jpg"}, CommandAction::exit, 2, usage},
      {{"--preview", "C:\\x\\preview.jpg"}, CommandAction::exit, 2, usage},
      {{"--status", "working_preview.jpg"}, CommandAction::exit, 2, usage},
      {{"--status", "a/ndi_status.json"}, CommandAction::exit, 2, usage},
      {{"--status", std::string("a\0b", 3)}, CommandAction::exit, 2, usage},
      {{"--secret-fd", "-2"}, CommandAction::exit, 2, usage},
      {{"--secret-handle", "-2"}, CommandAction::exit, 2, usage},
      {{"--key-length", "40"}, CommandAction::exit, 2, "Unsupported SRT key length\n"},
      {{"--key-length", "8"}, CommandAction::exit, 2, "Unsupported SRT key length\n"},
      {{"--stream-id", std::string(513, 's')}, CommandAction::exit, 2, "Stream ID is too long\n"},
      // one message only, in rule order: stream id, then key length, then the usage text
      {{"--port", "0", "--key-length", "40"}, CommandAction::exit, 2, "Unsupported SRT key length\n"},
      {{"--key-length", "40", "--stream-id", std::string(600, 's')}, CommandAction::exit, 2,
       "Stream ID is too long\n"},
  };
  for (const auto& c : cases) {
    const CommandLine got = parse_command_line(c.args);
    EXPECT_EQ(got.action, c.action) << testing::PrintToString(c.args);
    if (c.action == CommandAction::exit) {
      EXPECT_EQ(got.exit_code, c.exit_code) << testing::PrintToString(c.args);
      EXPECT_EQ(got.message, c.message) << testing::PrintToString(c.args);
    }
  }
  EXPECT_EQ(parse_command_line({"--stream-id", std::string(512, 's')}).action, CommandAction::run);
}

namespace {

// Hands out a scripted sequence of read results: byte chunks, errors (-1) and ends (0).
class ScriptedSource final : public SecretSource {
 public:
  struct Step {
    std::string bytes;
    long result;  // used when bytes is empty
  };
  explicit ScriptedSource(std::vector<Step> steps) : steps_(std::move(steps)) {}
  long read(void* buffer, std::size_t size) override {
    if (next_ >= steps_.size()) return 0;
    Step& step = steps_[next_];
    if (step.bytes.empty()) {
      ++next_;
      return step.result;
    }
    const std::size_t n = std::min(size, step.bytes.size());
    std::memcpy(buffer, step.bytes.data(), n);
    step.bytes.erase(0, n);
    if (step.bytes.empty()) ++next_;
    return static_cast<long>(n);
  }
  void close() override { ++closes; }
  int closes = 0;

 private:
  std::vector<Step> steps_;
  std::size_t next_ = 0;
};

std::string header(std::uint32_t length) {
  return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
          static_cast<char>(length)};
}

}  // namespace

TEST(SecretRecord, Table) {
  using Step = ScriptedSource::Step;
  const std::string ten(10, 'p'), eighty(80, 'q'), zero(1, '\0');
  struct Case {
    const char* name;
    std::vector<Step> steps;
    SecretIntake intake;
    std::string passphrase;
  };
  const std::vector<Case> cases = {
      {"zero length", {{header(0), 0}}, SecretIntake::accepted, ""},
      {"ten bytes", {{header(10) + ten, 0}}, SecretIntake::accepted, ten},
      {"eighty bytes", {{header(80) + eighty, 0}}, SecretIntake::accepted, eighty},
      {"byte by byte", {{zero, 0}, {zero, 0}, {zero, 0}, {"\x0a", 0}, {"pppp", 0}, {"pppppp", 0}},
       SecretIntake::accepted, ten},
      {"nine bytes", {{header(9) + std::string(9, 'n'), 0}}, SecretIntake::invalid_length, ""},
      {"one byte", {{header(1) + "x", 0}}, SecretIntake::invalid_length, ""},
      {"81 announced", {{header(81) + std::string(81, 'x'), 0}}, SecretIntake::unreadable, ""},
      {"huge announced", {{"\xff\xff\xff\xff", 0}}, SecretIntake::unreadable, ""},
      {"empty source", {}, SecretIntake::unreadable, ""},
      {"short header", {{zero + zero, 0}}, SecretIntake::unreadable, ""},
      {"short body", {{header(20) + std::string(15, 'x'), 0}}, SecretIntake::unreadable, ""},
      {"error in header", {{zero, 0}, {"", -1}}, SecretIntake::unreadable, ""},
      {"error in body", {{header(12) + "abc", 0}, {"", -1}}, SecretIntake::unreadable, ""},
      {"bytes after the record are left", {{header(10) + ten + "trailing", 0}}, SecretIntake::accepted, ten},
  };
  for (const auto& c : cases) {
    ScriptedSource source(c.steps);
    Passphrase passphrase;
    EXPECT_EQ(read_secret_record(source, passphrase), c.intake) << c.name;
    EXPECT_EQ(passphrase.view(), c.passphrase) << c.name;
    EXPECT_EQ(source.closes, 1) << c.name;
  }
  EXPECT_STREQ(secret_intake_message(SecretIntake::unreadable), "Can't read this source\n");
  EXPECT_STREQ(secret_intake_message(SecretIntake::invalid_length), "Invalid passphrase length\n");
  EXPECT_EQ(secret_intake_message(SecretIntake::accepted), nullptr);
}

TEST(SecretRecord, ThroughAPipeAndWiped) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string record = header(12) + "hunter2hunter";
  ASSERT_EQ(::write(fds[1], record.data(), 16), 16);  // length and 12 bytes
  ::close(fds[1]);
  DescriptorSecretSource source(fds[0]);
  Passphrase passphrase;
  ASSERT_EQ(read_secret_record(source, passphrase), SecretIntake::accepted);
  EXPECT_EQ(passphrase.view(), "hunter2hunte");
  const char* storage = passphrase.c_str();
  passphrase.wipe();
  EXPECT_TRUE(passphrase.empty());
  for (std::size_t i = 0; i <= kMaxPassphraseBytes; ++i) EXPECT_EQ(storage[i], '\0');

  HandleSecretSource closed(fds[0]);  // already closed by the intake
  EXPECT_EQ(read_secret_record(closed, passphrase), SecretIntake::unreadable);
}

TEST(SecretRecord, StandardOutputAndErrorStayOpenAfterTheIntake) {
  // Named as the secret descriptor, standard error is read from (and refused) but not closed: the
  // refusal still has to be printed there.
  for (const int descriptor : {1, 2}) {
    const int copy = ::dup(descriptor);
    ASSERT_GE(copy, 0);
    DescriptorSecretSource source(descriptor);
    source.close();
    EXPECT_NE(::fcntl(descriptor, F_GETFD), -1) << descriptor;
    ::dup2(copy, descriptor);
    ::close(copy);
  }
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  DescriptorSecretSource pipe_source(fds[0]);
  pipe_source.close();
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "any other descriptor is closed";
  ::close(fds[1]);
}

TEST(SecretRecord, EffectiveKeyLength) {
  Settings settings;
  Passphrase none, some;
  some.assign(reinterpret_cast<const std::uint8_t*>("0123456789"), 10);
  EXPECT_EQ(effective_key_length(settings, none), 0);
  EXPECT_EQ(effective_key_length(settings, some), 32);
  for (const int given : {16, 24, 32}) {
    settings.key_length = given;
    EXPECT_EQ(effective_key_length(settings, some), given);
    EXPECT_EQ(effective_key_length(settings, none), 0);
  }
}

TEST(Redact, EveryOccurrenceGoes) {
  const std::string p = "s3cretPass";  // 10 bytes
  struct Case {
    std::string text, expected;
  };
  std::string nine, nine_redacted, twenty, twenty_redacted;
  for (int i = 0; i < 9; ++i) {
    nine += p + ",";
    nine_redacted += "[redacted],";
  }
  for (int i = 0; i < 20; ++i) {
    twenty += "<" + p + ">";
    twenty_redacted += "<[redacted]>";
  }
  const std::vector<Case> cases = {
      {"no secret here", "no secret here"},
      {"short", "short"},
      {p, "[redacted]"},
      {"passphrase " + p + " rejected", "passphrase [redacted] rejected"},
      {nine, nine_redacted},  // more than the eight a capped search would replace
      {twenty, twenty_redacted},
      {p + p + p, "[redacted]"},  // adjacent copies leave no fragment between markers
      {"s3cretPas", "s3cretPas"},  // a fragment alone is not the secret
  };
  for (const auto& c : cases) EXPECT_EQ(redact(c.text, p), c.expected) << c.text;
  // Overlapping occurrences: every byte of either one is hidden.
  EXPECT_EQ(redact("xaaaaaaaaaaaay", "aaaaaaaaaa"), "x[redacted]y");
  EXPECT_EQ(redact("abcabcabcabcab|", "abcabcabca"), "[redacted]b|");
  // A secret the markers themselves could spell out again takes the whole message.
  EXPECT_EQ(redact("x[redacted]y", "[redacted]"), "[redacted]");
  EXPECT_EQ(redact("1d]23456789 0d]23456789", "d]23456789"), "1[redacted] 0[redacted]");
  EXPECT_EQ(redact("anything", ""), "anything");
}

TEST(LogFilter, LevelsLengthRedactionAndMismatch) {
  const std::string p = "correct-horse-battery";
  set_log_passphrase(p);
  encryption_mismatch.store(false);
  EXPECT_EQ(filter_library_message(AV_LOG_WARNING, "warn " + p), std::nullopt);
  EXPECT_EQ(filter_library_message(AV_LOG_INFO, "Incorrect passphrase"), std::nullopt);
  EXPECT_FALSE(encryption_mismatch.load());
  EXPECT_EQ(filter_library_message(AV_LOG_ERROR, "bad " + p + "\n"), "bad [redacted]\n");
  EXPECT_EQ(filter_library_message(AV_LOG_FATAL, p), "[redacted]");
  EXPECT_EQ(filter_library_message(AV_LOG_PANIC, "x"), "x");

  // A passphrase across the cut at 2047 bytes must not leave its front standing.
  const std::string around_cut = std::string(2040, '.') + p + "tail";
  const auto cut = filter_library_message(AV_LOG_ERROR, around_cut);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->size(), 2047u);
  EXPECT_EQ(cut->find(p.substr(0, 7)), std::string::npos);
  EXPECT_EQ(filter_library_message(AV_LOG_ERROR, std::string(5000, 'y'))->size(), 2047u);

  // A caller's wrong passphrase is a mismatch worth listening on for; this end's library refusing
  // its own option is a local refusal as well, which no caller can mend.
  struct MismatchCase {
    const char* text;
    bool mismatch;
    bool local;
  };
  const MismatchCase mismatch_cases[] = {
      {"processConnectRequest: rsp(REJECT): 1010 - Incorrect passphrase", true, false},
      {"libsrt_setsockopt: failed to set option SRTO_PASSPHRASE on socket", true, true},
      {"rsp(REJECT): 1011 - Password required or unexpected", true, false},
      {"failed to set option SRTO_STREAMID on socket: Operation not supported", false, true},
      {"Connection was broken", false, false},
  };
  for (const auto& c : mismatch_cases) {
    encryption_mismatch.store(false);
    local_option_refused.store(false);
    filter_library_message(AV_LOG_ERROR, c.text);
    EXPECT_EQ(encryption_mismatch.load(), c.mismatch) << c.text;
    EXPECT_EQ(local_option_refused.load(), c.local) << c.text;
  }
  local_option_refused.store(false);
  // SRT reports a rejected caller as a warning: noted, not printed.
  encryption_mismatch.store(false);
  testing::internal::CaptureStderr();
  srt_log_filter(nullptr, 4 /* LOG_WARNING */, "f", 1, "cn", "rsp(REJECT): 1010 - Incorrect passphrase");
  srt_log_filter(nullptr, 3 /* LOG_ERR */, "f", 1, "cn", ("lost " + p).c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "lost [redacted]\n");
  EXPECT_TRUE(encryption_mismatch.load());
  encryption_mismatch.store(false);
  set_log_passphrase({});
}

namespace {
void log_through_ffmpeg(int level, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  ffmpeg_log_filter(nullptr, level, format, arguments);
  va_end(arguments);
}
}  // namespace

TEST(LogFilter, FormatsFfmpegMessagesWithoutPrefix) {
  const std::string p = "abcdefghijk";
  set_log_passphrase(p);
  testing::internal::CaptureStderr();
  log_through_ffmpeg(AV_LOG_ERROR, "opening %s failed: %d\n", p.c_str(), 5);
  log_through_ffmpeg(AV_LOG_ERROR | (3 << 8), "%s%s%s%s%s%s%s%s%s%s\n", p.c_str(), p.c_str(), p.c_str(), p.c_str(),
                     p.c_str(), p.c_str(), p.c_str(), p.c_str(), p.c_str(), p.c_str());
  log_through_ffmpeg(AV_LOG_WARNING, "dropped %s\n", p.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "opening [redacted] failed: 5\n[redacted]\n");
  set_log_passphrase({});
}

TEST(StatusDocument, ExactBytes) {
  StatusRecord s;
  s.port = 9000;
  s.state = LinkState::listening;
  EXPECT_EQ(status_document(s),
            "{\n"
            "  \"state\": \"listening\",\n"
            "  \"port\": 9000,\n"
            "  \"width\": 0,\n"
            "  \"height\": 0,\n"
            "  \"frame_rate_n\": 0,\n"
            "  \"frame_rate_d\": 0,\n"
            "  \"last_frame_time\": null,\n"
            "  \"decoder\": null,\n"
            "  \"error\": null\n"
            "}\n");
  s.state = LinkState::error;
  s.width = 1920;
  s.height = 1080;
  s.frame_rate_n = 30000;
  s.frame_rate_d = 1001;
  s.has_last_frame = true;
  s.last_frame_time = 1700000000.12345;
  s.decoder = "native";
  s.error = "bad \"thing\"\b";
  EXPECT_EQ(status_document(s),
            "{\n"
            "  \"state\": \"error\",\n"
            "  \"port\": 9000,\n"
            "  \"width\": 1920,\n"
            "  \"height\": 1080,\n"
            "  \"frame_rate_n\": 30000,\n"
            "  \"frame_rate_d\": 1001,\n"
            "  \"last_frame_time\": 1700000000.123,\n"
            "  \"decoder\": \"native\",\n"
            "  \"error\": \"bad \\\"thing\\\"\\u0008\"\n"
            "}\n");
}

TEST(StopRequest, PathFollowsTheStatusFolder) {
  const std::pair<const char*, const char*> cases[] = {
      {"app/static/srt_status.json", "app/static/srt_stop.request"},
      {"out/srt_status.json", "out/srt_stop.request"},
      {"C:\\x\\s.json", "C:\\x\\srt_stop.request"},
      {"status.json", "srt_stop.request"},
      {"/abs/a.b/s", "/abs/a.b/srt_stop.request"},
  };
  for (const auto& [status, request] : cases) EXPECT_EQ(stop_request_path_for_status(status), request);
}

TEST(ListenerAddress, Format) {
  EXPECT_EQ(listener_address(9000, 120),
            "srt://0.0.0.0:9000?mode=listener&transtype=live&latency=120000&listen_timeout=500000&timeout=5000000");
  EXPECT_EQ(listener_address(65535, 8000),
            "srt://0.0.0.0:65535?mode=listener&transtype=live&latency=8000000&listen_timeout=500000&timeout=5000000");
}

TEST(DecodeFailures, SixtyInARowAndResetByAFrame) {
  DecodeFailures failures;
  for (int i = 0; i < 59; ++i) EXPECT_FALSE(failures.add());
  failures.reset();  // a decoded frame
  for (int i = 0; i < 59; ++i) EXPECT_FALSE(failures.add());
  EXPECT_TRUE(failures.add());
  EXPECT_EQ(failures.count(), 60);
}

TEST(PreviewPacer, FirstAlwaysThenTwoHundredMilliseconds) {
  PreviewPacer pacer;
  EXPECT_TRUE(pacer.due(0));
  EXPECT_TRUE(pacer.due(-5));
  pacer.mark(1000000000);
  const std::pair<std::int64_t, bool> cases[] = {
      {1000000000, false}, {1199999999, false}, {1200000000, true}, {5000000000, true}};
  for (const auto& [now, due] : cases) EXPECT_EQ(pacer.due(now), due) << now;
}

namespace {

struct FrameOwner {
  AVFrame* frame = av_frame_alloc();
  FrameOwner(int width, int height) {
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    av_frame_get_buffer(frame, 0);
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane == 0 ? height : (height + 1) / 2;
      for (int y = 0; y < rows; ++y) {
        std::memset(frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane],
                    plane == 0 ? 120 : 128, static_cast<std::size_t>(frame->linesize[plane]));
      }
    }
  }
  ~FrameOwner() { av_frame_free(&frame); }
};

std::pair<int, int> jpeg_size(const std::string& path) {
  const std::string bytes = tessaryn::receivers::read_whole_file(path);
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &width, &height,
                      &subsampling, &colorspace);
  tjDestroy(handle);
  return {width, height};
}

}  // namespace

TEST(PreviewWriter, ScalesFramesAndFollowsSizeChanges) {
  const fs::path dir = fs::temp_directory_path() / ("wancapture-writer-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string preview = (dir / "srt_preview.jpg").string();
  PreviewWriter writer(preview);
  struct Case {
    int width, height;
  };
  const Case cases[] = {{640, 360}, {3840, 2160}, {101, 77}, {640, 360}};
  for (const auto& c : cases) {
    FrameOwner source(c.width, c.height);
    const FrameSize target = preview_size(c.width, c.height).value();
    ASSERT_TRUE(writer.publish(source.frame, target)) << c.width;
    EXPECT_EQ(jpeg_size(preview), std::make_pair(target.width, target.height)) << c.width;
  }
  EXPECT_FALSE(fs::exists(dir / "srt_preview.tmp.jpg"));
  fs::remove_all(dir);
}
