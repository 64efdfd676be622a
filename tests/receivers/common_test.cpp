// The receivers' shared publishing pieces: document bytes, atomic replacement, previews, stop
// requests and clocks, on the POSIX platform layer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
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
    EXPECT_EQ(json_escape(c.input, Receiver::lancapture), c.lan) << c.input;
    EXPECT_EQ(json_escape(c.input, Receiver::wancapture), c.wan) << c.input;
  }
}

TEST(JsonEscape, EmptyOptionalTextIsBareNull) {
  EXPECT_EQ(json_string_or_null("", Receiver::wancapture), "null");
  EXPECT_EQ(json_string_or_null("x\b", Receiver::wancapture), "\"x\\u0008\"");
  EXPECT_EQ(json_string_or_null("x\b", Receiver::lancapture), "\"x\\b\"");
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
    EXPECT_EQ(json_number(c.value, Receiver::lancapture), c.lan);
    EXPECT_EQ(json_number(c.value, Receiver::wancapture), c.wan);
  }
}

TEST(JsonDocument, FixedLayout) {
  JsonDocument doc(Receiver::wancapture);
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
  EXPECT_EQ(JsonDocument(Receiver::lancapture).finish(), "{\n}\n");
}

TEST(AtomicFile, WritesExactBytesAndLeavesNoTemporary) {
  TempFolder dir;
  const std::string target = dir / "status.json";
  const std::string bytes("{\n\0\xff}\n", 6);
  ASSERT_TRUE(write_text_atomically(target, bytes, Receiver::wancapture));
  EXPECT_EQ(read_whole_file(target), bytes);
  EXPECT_FALSE(fs::exists(target + ".tmp"));
  ASSERT_TRUE(write_text_atomically(target, "second", Receiver::lancapture));
  EXPECT_EQ(read_whole_file(target), "second");
  ASSERT_TRUE(write_text_atomically(target, "", Receiver::wancapture));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(AtomicFile, TemporaryThatCannotBeOpenedIsReportedAndTargetKept) {
  TempFolder dir;
  const std::string target = dir / "srt_status.json";
  write_file(target, "old");
  fs::create_directory(target + ".tmp");  // blocks the temporary file even for root
  struct Case {
    Receiver receiver;
    std::string expected;
  };
  const Case cases[] = {
      {Receiver::wancapture, "cannot open " + target + ".tmp\n"},
      {Receiver::lancapture, "Impossible d'ouvrir " + target + ".tmp: Is a directory\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(write_text_atomically(target, "new", c.receiver));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    EXPECT_EQ(read_whole_file(target), "old");
  }
}

TEST(AtomicFile, FailedReplacementRemovesTemporary) {
  TempFolder dir;
  const std::string target = dir / "doc";
  fs::create_directory(target);  // neither a move nor a copy can replace a folder with a file
  fs::create_directory(target + "/keep");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(write_text_atomically(target, "x", Receiver::wancapture));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(target + ".tmp"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(write_text_atomically(target, "x", Receiver::lancapture));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Impossible de remplacer " + target + ": Permission denied\n");
  EXPECT_FALSE(fs::exists(target + ".tmp"));
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
    errno = 0;
    EXPECT_EQ(replace_file_with_retry("a.tmp", "a", Receiver::wancapture, kHeldOps), c.result);
    EXPECT_EQ(HeldTarget::moves, c.moves);
    EXPECT_EQ(HeldTarget::sleeps, c.sleeps);
    EXPECT_EQ(HeldTarget::slept_ms, 5 * c.sleeps);
    EXPECT_EQ(HeldTarget::copies, c.copies);
    EXPECT_EQ(HeldTarget::deletes, c.deletes);
    EXPECT_EQ(errno, 0) << "wancapture leaves errno alone";
  }
  HeldTarget::reset(1000, false);
  errno = 0;
  EXPECT_FALSE(replace_file_with_retry("a.tmp", "a", Receiver::lancapture, kHeldOps));
  EXPECT_EQ(errno, EACCES);
}

TEST(ReplaceFileWithRetry, RealFilesMoveAndCopy) {
  TempFolder dir;
  write_file(dir / "s", "new");
  write_file(dir / "t", "old");
  ASSERT_TRUE(replace_file_with_retry(dir / "s", dir / "t", Receiver::wancapture));
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
    EXPECT_EQ(encode_preview_jpeg_bgrx(c.width, c.height, c.data, c.stride, 75, dir / "n.tmp.jpg"), c.ok);
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

TEST(PreviewJpeg, LancaptureReportsOnlyItsFirstThreeEncoderFailures) {
  TempFolder dir;
  std::vector<std::uint8_t> pixels(4, 0);
  const std::string blocked = dir / "blocked.tmp.jpg";
  fs::create_directory(blocked);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(encode_preview_jpeg_bgrx(1, 1, pixels.data(), 4, 75, blocked));
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string line = "JPEG preview failed: 1x1 stride=4 HRESULT=0x80070015\n";  // EISDIR
  EXPECT_EQ(err, line + line + line);
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

TEST(StopRequest, WhatCountsAsARequest) {
  TempFolder dir;
  const std::string empty = dir / "empty", full = dir / "full", missing = dir / "missing";
  write_file(empty, "");
  write_file(full, "stop\n");
  EXPECT_FALSE(stop_requested(empty, Receiver::lancapture));
  EXPECT_TRUE(stop_requested(empty, Receiver::wancapture));
  EXPECT_TRUE(stop_requested(full, Receiver::lancapture));
  EXPECT_TRUE(stop_requested(full, Receiver::wancapture));
  EXPECT_FALSE(stop_requested(missing, Receiver::lancapture));
  EXPECT_FALSE(stop_requested(missing, Receiver::wancapture));
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
