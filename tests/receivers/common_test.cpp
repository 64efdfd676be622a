// The receivers' shared publishing pieces: document bytes, atomic replacement, previews, stop
// requests and clocks, on the POSIX platform layer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/clock.hpp"
#include "receivers/common/jpeg_encoder.hpp"
#include "receivers/common/json_writer.hpp"
#include "receivers/common/platform.hpp"
#include "receivers/common/stop_request.hpp"

namespace fs = std::filesystem;
using namespace tessaryn::receivers;

namespace {
// The two programs' styles, as each of them holds its own.
constexpr JsonStyle kLan{ControlEscapes::short_forms, FloatNotation::significant17};
constexpr JsonStyle kWan{ControlEscapes::unicode, FloatNotation::fixed3};
}  // namespace

namespace {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "receivers-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

TEST(JsonEscape, BytesAsEachReceiverWritesThem) {
  struct Case {
    std::string input, lan, wan;
  };
  const std::vector<Case> cases = {
      {"plain", "plain", "plain"},
      {"\"", "\\\"", "\\\""},
      {"\\", "\\\\", "\\\\"},
      {"\b", "\\b", "\\u0008"},
      {"\f", "\\f", "\\u000c"},
      {"\n", "\\n", "\\n"},
      {"\r", "\\r", "\\r"},
      {"\t", "\\t", "\\t"},
      {"\x01", "\\u0001", "\\u0001"},
      {"\x1f", "\\u001f", "\\u001f"},
      {std::string(1, '\0'), "\\u0000", "\\u0000"},
      {"\x7f", "\x7f", "\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 e-acute passes through
      {"\xff\xfe", "\xff\xfe", "\xff\xfe"},           // invalid UTF-8 is not repaired
      {"a\"b\\c\n", "a\\\"b\\\\c\\n", "a\\\"b\\\\c\\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_escape(c.input, kLan), c.lan) << c.input;
    EXPECT_EQ(json_escape(c.input, kWan), c.wan) << c.input;
  }
}

TEST(JsonEscape, EmptyOptionalTextIsBareNull) {
  EXPECT_EQ(json_string_or_null("", kWan), "null");
  EXPECT_EQ(json_string_or_null("x\b", kWan), "\"x\\u0008\"");
  EXPECT_EQ(json_string_or_null("x\b", kLan), "\"x\\b\"");
}

TEST(JsonNumber, NotationPerReceiver) {
  struct Case {
    double value;
    const char* lan;
    const char* wan;
  };
  const Case cases[] = {
      {1700000000.1234567, "1700000000.1234567", "1700000000.123"},
      {0.0, "0", "0.000"},
      {-2.5, "-2.5", "-2.500"},
      {0.0005, "0.00050000000000000001", "0.001"},
      {std::numeric_limits<double>::infinity(), "null", "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null", "null"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_number(c.value, kLan), c.lan);
    EXPECT_EQ(json_number(c.value, kWan), c.wan);
  }
}

TEST(JsonDocument, FixedLayout) {
  JsonDocument doc(kWan);
  doc.text("state", "listening")
      .integer("port", -9000)
      .boolean("yes", true)
      .boolean("no", false)
      .number("t", 12.5)
      .optional_number("missing", std::nullopt)
      .optional_text("decoder", "")
      .null("error")
      .raw("list", "[1, 2]");
  EXPECT_EQ(doc.finish(),
            "{\n"
            "  \"state\": \"listening\",\n"
            "  \"port\": -9000,\n"
            "  \"yes\": true,\n"
            "  \"no\": false,\n"
            "  \"t\": 12.500,\n"
            "  \"missing\": null,\n"
            "  \"decoder\": null,\n"
            "  \"error\": null,\n"
            "  \"list\": [1, 2]\n"
            "}\n");
  EXPECT_EQ(JsonDocument(kLan).finish(), "{\n}\n");
}

TEST(AtomicFile, WritesExactBytesAndLeavesNoTemporary) {
  TempFolder dir;
  const std::string target = dir / "status.json";
  const std::string bytes("{\n\0\xff}\n", 6);
  ASSERT_TRUE(write_text_atomically(target, bytes));
  EXPECT_EQ(read_whole_file(target), bytes);
  EXPECT_FALSE(fs::exists(target + ".tmp"));
  ASSERT_TRUE(write_text_atomically(target, "second"));
  EXPECT_EQ(read_whole_file(target), "second");
  ASSERT_TRUE(write_text_atomically(target, ""));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(AtomicFile, FailuresAreTypedAndTheTargetKept) {
  TempFolder dir;
  const std::string target = dir / "srt_status.json";
  write_file(target, "old");
  fs::create_directory(target + ".tmp");  // blocks the temporary file even for root
  testing::internal::CaptureStderr();
  const PublishResult blocked = write_text_atomically(target, "new");
  EXPECT_EQ(blocked.failure, PublishFailure::open_temporary);
  EXPECT_EQ(blocked.error_number, EISDIR);
  EXPECT_EQ(blocked.temp_path, target + ".tmp");
  EXPECT_EQ(read_whole_file(target), "old");
  fs::remove(target + ".tmp");

  const std::string folder = dir / "doc";
  fs::create_directory(folder);  // neither a move nor a copy can replace a folder with a file
  fs::create_directory(folder + "/keep");
  EXPECT_EQ(write_text_atomically(folder, "x").failure, PublishFailure::replace);
  EXPECT_FALSE(fs::exists(folder + ".tmp"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "shared code words no message";
}

namespace {

// A target held open by a reader: moves fail, copies succeed or fail as the case wants.
struct HeldTarget {
  static inline int moves = 0, sleeps = 0, slept_ms = 0, copies = 0, deletes = 0, moves_before_success = 0;
  static inline bool copy_works = true;
  static void reset(int succeed_after, bool copy) {
    moves = sleeps = slept_ms = copies = deletes = 0;
    moves_before_success = succeed_after;
    copy_works = copy;
  }
  static bool move(const std::string&, const std::string&) { return ++moves > moves_before_success; }
  static bool copy(const std::string&, const std::string&) {
    ++copies;
    return copy_works;
  }
  static void remove(const std::string&) { ++deletes; }
  static void sleep(int ms) {
    ++sleeps;
    slept_ms += ms;
  }
};
const FileOps kHeldOps{HeldTarget::move, HeldTarget::copy, HeldTarget::remove, HeldTarget::sleep};

}  // namespace

TEST(ReplaceFileWithRetry, RetriesThenCopiesThenGivesUp) {
  struct Case {
    int moves_failing;
    bool copy_works;
    bool result;
    int moves, sleeps, copies, deletes;
  };
  const Case cases[] = {
      {0, true, true, 1, 0, 0, 0},       // free target: one move
      {3, true, true, 4, 3, 0, 0},       // reader lets go after 15 ms
      {1000, true, true, 20, 20, 1, 1},  // 20 tries over 100 ms, then copy and delete the source
      {1000, false, false, 20, 20, 1, 0},
  };
  for (const auto& c : cases) {
    HeldTarget::reset(c.moves_failing, c.copy_works);
    EXPECT_EQ(replace_file_with_retry("a.tmp", "a", kHeldOps), c.result);
    EXPECT_EQ(HeldTarget::moves, c.moves);
    EXPECT_EQ(HeldTarget::sleeps, c.sleeps);
    EXPECT_EQ(HeldTarget::slept_ms, 5 * c.sleeps);
    EXPECT_EQ(HeldTarget::copies, c.copies);
    EXPECT_EQ(HeldTarget::deletes, c.deletes);
  }
}

TEST(ReplaceFileWithRetry, RealFilesMoveAndCopy) {
  TempFolder dir;
  write_file(dir / "s", "new");
  write_file(dir / "t", "old");
  ASSERT_TRUE(replace_file_with_retry(dir / "s", dir / "t"));
  EXPECT_EQ(read_whole_file(dir / "t"), "new");
  EXPECT_FALSE(fs::exists(dir / "s"));
  write_file(dir / "s", "copied");
  ASSERT_TRUE(platform::copy_file_replacing(dir / "s", dir / "t"));
  EXPECT_EQ(read_whole_file(dir / "t"), "copied");
  EXPECT_TRUE(fs::exists(dir / "s"));
  EXPECT_FALSE(platform::copy_file_replacing(dir / "missing", dir / "t"));
}

TEST(ReadWholeFile, ByteForByteOrEmpty) {
  TempFolder dir;
  const std::string content = std::string("a\r\nb\0c  \n", 9) + std::string(10000, 'z');
  write_file(dir / "f", content);
  EXPECT_EQ(read_whole_file(dir / "f"), content);
  EXPECT_EQ(read_whole_file(dir / "missing"), "");
  EXPECT_EQ(read_whole_file(dir / ""), "");  // a folder cannot be read as a file
}

TEST(PreviewTempPath, KeepsTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"app/static/srt_preview.jpg", "app/static/srt_preview.tmp.jpg"},
      {"previews/frame", "previews/frame.tmp"},
      {"a.b/frame", "a.b/frame.tmp"},
      {"a.b\\frame", "a.b\\frame.tmp"},
      {"srt.jpg", "srt.tmp.jpg"},
      {"C:\\x\\p.jpeg", "C:\\x\\p.tmp.jpeg"},
      {"frame", "frame.tmp"},
  };
  for (const auto& [path, temp] : cases) EXPECT_EQ(preview_temp_path(path), temp) << path;
  EXPECT_EQ(document_temp_path("app/static/ndi_status.json"), "app/static/ndi_status.json.tmp");
}

TEST(BgrRows, AlignedZeroPaddedAndSwapped) {
  // 3 pixels per row: 9 bytes of pixels, rows of 12 with three zero bytes.
  const std::uint8_t rgb[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 99, 10, 11, 12, 13, 14, 15, 16, 17, 18, 99};
  const auto bgr = bgr_rows_from_rgb(rgb, 3, 2, 10);
  const std::vector<std::uint8_t> expected = {3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0,
                                              12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0};
  EXPECT_EQ(bgr, expected);
  const std::uint8_t bgrx[] = {1, 2, 3, 200, 4, 5, 6, 200};
  EXPECT_EQ(bgr_rows_from_bgrx(bgrx, 2, 1, 8), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_EQ(bgr_row_bytes(1), 4);
  EXPECT_EQ(bgr_row_bytes(4), 12);
  EXPECT_EQ(bgr_row_bytes(1920), 5760);
}

namespace {

struct DecodedJpeg {
  int width = 0, height = 0, subsampling = -1;
  std::vector<std::uint8_t> rgb;
};

DecodedJpeg decode_jpeg(const std::string& path) {
  DecodedJpeg out;
  const std::string bytes = read_whole_file(path);
  tjhandle handle = tjInitDecompress();
  int colorspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (tjDecompressHeader3(handle, data, bytes.size(), &out.width, &out.height, &out.subsampling, &colorspace) == 0) {
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    if (tjDecompress2(handle, data, bytes.size(), out.rgb.data(), out.width, 0, out.height, TJPF_RGB, 0) != 0) {
      out.rgb.clear();
    }
  }
  tjDestroy(handle);
  return out;
}

}  // namespace

// Control files and temporary paths are planted by another process; none of these may block the
// receiver's one thread, be read without end, or be written through.
TEST(HostileFiles, ControlFilesAreReadOnlyWhenRegularAndBounded) {
  TempFolder dir;
  write_file(dir / "plain", "cam");
  write_file(dir / "at_limit", std::string(kControlFileLimit, 'a'));
  write_file(dir / "past_limit", std::string(kControlFileLimit + 1, 'a'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "plain", dir / "link_to_plain");
  fs::create_symlink("/dev/zero", dir / "link_to_zero");
  fs::create_directory(dir / "folder");
  struct Case {
    std::string path;
    platform::ReadStatus status;
    std::size_t size;
  };
  const Case cases[] = {
      {dir / "plain", platform::ReadStatus::ok, 3},
      {dir / "at_limit", platform::ReadStatus::ok, kControlFileLimit},
      {dir / "past_limit", platform::ReadStatus::too_large, 0},
      {dir / "missing", platform::ReadStatus::missing, 0},
      {dir / "fifo", platform::ReadStatus::not_regular, 0},          // would block an open for good
      {dir / "link_to_plain", platform::ReadStatus::not_regular, 0}, // links are not followed
      {dir / "link_to_zero", platform::ReadStatus::not_regular, 0},  // would be read until memory runs out
      {"/dev/zero", platform::ReadStatus::not_regular, 0},
      {dir / "folder", platform::ReadStatus::not_regular, 0},
  };
  for (const auto& c : cases) {
    const platform::FileRead read = read_control_file(c.path);
    EXPECT_EQ(read.status, c.status) << c.path;
    EXPECT_EQ(read.bytes.size(), c.size) << c.path;
    EXPECT_EQ(read_whole_file(c.path).size(), c.size) << c.path;
  }
  // A stop request is content: an oversized file still is one, a FIFO or a link to a device is not.
  EXPECT_TRUE(stop_file_has_content(dir / "past_limit"));
  EXPECT_FALSE(stop_file_has_content(dir / "fifo"));
  EXPECT_FALSE(stop_file_has_content(dir / "link_to_zero"));
}

TEST(HostileFiles, TemporaryFilesAreCreatedAfreshNeverWrittenThrough) {
  TempFolder dir;
  write_file(dir / "victim", "untouched");
  struct Case {
    const char* what;
    void (*plant)(const std::string& temp, const std::string& victim);
  };
  const Case cases[] = {
      {"a link to another file", [](const std::string& t, const std::string& v) { fs::create_symlink(v, t); }},
      {"a dangling link", [](const std::string& t, const std::string& v) { fs::create_symlink(v + ".new", t); }},
      {"a FIFO", [](const std::string& t, const std::string&) { ASSERT_EQ(::mkfifo(t.c_str(), 0600), 0); }},
      {"a leftover file", [](const std::string& t, const std::string&) { write_file(t, "stale stale stale"); }},
  };
  std::vector<std::uint8_t> rgb(4 * 4 * 3, 90);
  for (const auto& c : cases) {
    const std::string target = dir / "status.json";
    c.plant(target + ".tmp", dir / "victim");
    EXPECT_TRUE(write_text_atomically(target, "{}\n")) << c.what;
    EXPECT_EQ(read_whole_file(target), "{}\n") << c.what;
    EXPECT_FALSE(fs::exists(fs::symlink_status(target + ".tmp"))) << c.what;

    const std::string preview = dir / "srt_preview.jpg";
    c.plant(dir / "srt_preview.tmp.jpg", dir / "victim");
    EXPECT_TRUE(encode_preview_jpeg_rgb(rgb.data(), 4, 4, 12, preview)) << c.what;
    EXPECT_EQ(decode_jpeg(preview).width, 4) << c.what;

    c.plant(dir / "ndi_preview.tmp.jpg", dir / "victim");
    EXPECT_TRUE(encode_preview_jpeg_bgrx(2, 2, rgb.data(), 8, 75, dir / "ndi_preview.tmp.jpg").ok) << c.what;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "ndi_preview.tmp.jpg"))) << c.what;
    fs::remove(dir / "ndi_preview.tmp.jpg");

    EXPECT_EQ(read_whole_file(dir / "victim"), "untouched") << c.what;
    EXPECT_FALSE(fs::exists(dir / "victim.new")) << c.what;
  }
}

TEST(HostileFiles, ACopyOverTheTargetDoesNotFollowALinkThere) {
  TempFolder dir;
  write_file(dir / "victim", "untouched");
  write_file(dir / "source", "new");
  fs::create_symlink(dir / "victim", dir / "target");
  EXPECT_FALSE(platform::copy_file_replacing(dir / "source", dir / "target"));
  EXPECT_EQ(read_whole_file(dir / "victim"), "untouched");
}

TEST(PreviewJpeg, RgbFrameBecomesThePreviewFile) {
  TempFolder dir;
  const std::string preview = dir / "srt_preview.jpg";
  const int width = 64, height = 48, stride = width * 3 + 5;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(stride) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &rgb[static_cast<std::size_t>(y) * stride + x * 3];
      p[0] = 220;  // a red left half and a blue right half tell a channel swap at once
      p[2] = 30;
      if (x >= width / 2) std::swap(p[0], p[2]);
    }
  }
  ASSERT_TRUE(encode_preview_jpeg_rgb(rgb.data(), width, height, stride, preview));
  EXPECT_FALSE(fs::exists(dir / "srt_preview.tmp.jpg"));
  const DecodedJpeg jpeg = decode_jpeg(preview);
  ASSERT_EQ(jpeg.width, width);
  ASSERT_EQ(jpeg.height, height);
  EXPECT_EQ(jpeg.subsampling, TJSAMP_420);
  ASSERT_FALSE(jpeg.rgb.empty());
  const std::uint8_t* left = &jpeg.rgb[(24 * width + 8) * 3];
  const std::uint8_t* right = &jpeg.rgb[(24 * width + 56) * 3];
  EXPECT_GT(left[0], 180);
  EXPECT_LT(left[2], 70);
  EXPECT_GT(right[2], 180);
  EXPECT_LT(right[0], 70);
}

TEST(PreviewJpeg, InputChecksPerReceiver) {
  TempFolder dir;
  std::vector<std::uint8_t> pixels(4 * 16, 128);
  struct Case {
    const std::uint8_t* data;
    int width, height, stride;
    bool ok;
  };
  const Case rgb_cases[] = {
      {pixels.data(), 2, 2, 6, true}, {pixels.data(), 1, 1, 3, false}, {pixels.data(), 1, 2, 3, false},
      {pixels.data(), 2, 1, 6, false}, {pixels.data(), 2, 2, 5, false}, {nullptr, 2, 2, 6, false},
  };
  for (const auto& c : rgb_cases) {
    EXPECT_EQ(encode_preview_jpeg_rgb(c.data, c.width, c.height, c.stride, dir / "p.jpg"), c.ok)
        << c.width << "x" << c.height << " stride " << c.stride;
  }
  const Case bgrx_cases[] = {
      {pixels.data(), 1, 1, 4, true}, {pixels.data(), 2, 2, 8, true}, {pixels.data(), 2, 2, 7, false},
      {pixels.data(), 0, 1, 4, false}, {nullptr, 1, 1, 4, false},
  };
  for (const auto& c : bgrx_cases) {
    EXPECT_EQ(encode_preview_jpeg_bgrx(c.width, c.height, c.data, c.stride, 75, dir / "n.tmp.jpg").ok, c.ok);
  }
  EXPECT_EQ(decode_jpeg(dir / "n.tmp.jpg").width, 2);
}

TEST(PreviewJpeg, FailedEncodingLeavesPreviousPreviewAndNoTemporary) {
  TempFolder dir;
  const std::string preview = dir / "srt_preview.jpg";
  write_file(preview, "previous");
  std::vector<std::uint8_t> rgb(2 * 2 * 3, 50);
  fs::create_directory(dir / "srt_preview.tmp.jpg");  // the encoder cannot create its file
  testing::internal::CaptureStderr();
  EXPECT_FALSE(encode_preview_jpeg_rgb(rgb.data(), 2, 2, 6, preview));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read_whole_file(preview), "previous");
  fs::remove(dir / "srt_preview.tmp.jpg");

  fs::remove(preview);
  fs::create_directories(preview + "/x");  // now the replacement fails: the temporary goes
  EXPECT_FALSE(encode_preview_jpeg_rgb(rgb.data(), 2, 2, 6, preview));
  EXPECT_FALSE(fs::exists(dir / "srt_preview.tmp.jpg"));
}

TEST(PreviewJpeg, AFileThatCannotBeWrittenIsAReportableFailureWithItsCode) {
  TempFolder dir;
  std::vector<std::uint8_t> pixels(4, 0);
  const std::string blocked = dir / "blocked.tmp.jpg";
  fs::create_directory(blocked);
  testing::internal::CaptureStderr();
  const PreviewEncoding encoded = encode_preview_jpeg_bgrx(1, 1, pixels.data(), 4, 75, blocked);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(encoded.ok);
  EXPECT_TRUE(encoded.reportable);
  EXPECT_EQ(encoded.code, 0x80070015UL);  // EISDIR
  EXPECT_FALSE(encode_preview_jpeg_bgrx(1, 1, nullptr, 4, 75, blocked).reportable) << "refused input is not told";
}

TEST(StopRequest, WhatCountsAsARequest) {
  TempFolder dir;
  const std::string empty = dir / "empty", full = dir / "full", missing = dir / "missing";
  write_file(empty, "");
  write_file(full, "stop\n");
  EXPECT_FALSE(stop_file_has_content(empty));
  EXPECT_TRUE(stop_file_exists(empty));
  EXPECT_TRUE(stop_file_has_content(full));
  EXPECT_TRUE(stop_file_exists(full));
  EXPECT_FALSE(stop_file_has_content(missing));
  EXPECT_FALSE(stop_file_exists(missing));
}

TEST(ConsoleStop, AStopInterruptsABlockingCall) {
  // A call blocked when the stop arrives must come back rather than be restarted, or a receiver
  // stuck in it would never see the stop at all.
  platform::install_console_stop_handler();
  keep_running.store(1);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pthread_t blocked = ::pthread_self();
  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    while (!returned.load()) {
      ::pthread_kill(blocked, SIGTERM);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  char byte = 0;
  const ssize_t n = ::read(fds[0], &byte, 1);  // nothing is ever written
  const int error_number = errno;
  returned.store(true);
  stopper.join();
  EXPECT_EQ(n, -1);
  EXPECT_EQ(error_number, EINTR);
  EXPECT_EQ(keep_running.load(), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  keep_running.store(1);
}

TEST(ConsoleStop, SignalsClearKeepRunning) {
  platform::install_console_stop_handler();
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    keep_running.store(1);
    ASSERT_EQ(::raise(signal_number), 0);
    EXPECT_EQ(keep_running.load(), 0) << signal_number;
  }
  keep_running.store(1);
  EXPECT_EQ(::raise(SIGPIPE), 0);  // ignored: a vanished reader must not end a receiver
  EXPECT_EQ(keep_running.load(), 1);
}

TEST(Clock, TickConversionsAndSources) {
  EXPECT_EQ(unix_ns_from_ticks(17000000001234567LL), 1700000000123456700LL);
  EXPECT_DOUBLE_EQ(unix_seconds_from_ticks(17000000001234567LL), 1700000000.1234567);
  const double now = wall_unix_seconds();
  EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);
  EXPECT_NEAR(static_cast<double>(wall_unix_ns()) / 1e9, now, 2.0);
  const std::int64_t a = monotonic_ns();
  platform::sleep_ms(20);
  const std::int64_t b = monotonic_ns();
  EXPECT_GE(b - a, 20000000);
}

TEST(Platform, WipeAndSecretDescriptors) {
  char secret[] = "0123456789";
  platform::wipe_memory(secret, sizeof secret);
  for (const char c : secret) EXPECT_EQ(c, '\0');
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  ::close(fds[1]);
  char buffer[8] = {};
  EXPECT_EQ(platform::read_handle(fds[0], buffer, sizeof buffer), 3);
  EXPECT_EQ(platform::read_handle(fds[0], buffer, sizeof buffer), 0);
  platform::close_handle(fds[0]);
  EXPECT_EQ(platform::read_descriptor(fds[0], buffer, sizeof buffer), -1);
  EXPECT_EQ(platform::read_handle(std::int64_t{1} << 40, buffer, sizeof buffer), -1);
}
