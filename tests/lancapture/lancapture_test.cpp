// lancapture's documents, runtime binding and control loop. The loop runs here on a test clock
// against an in-process fake runtime, so its timing rules (3 s without video, 5 s to a forced
// disconnect, 500 ms between attempts, 2 s polls, 1 s heartbeats) are checked exactly, without
// waiting for them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/stop_request.hpp"
#include "receivers/lancapture/control_loop.hpp"
#include "receivers/lancapture/documents.hpp"
#include "receivers/lancapture/files.hpp"
#include "receivers/lancapture/ndi_binding.hpp"

namespace fs = std::filesystem;
using namespace tessaryn::lancapture;
using tessaryn::receivers::read_whole_file;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------- documents

TEST(LanStatusDocument, StartRecordAndFullRecord) {
  EXPECT_EQ(status_document(StatusRecord{}, true, 1700000000.25),
            "{\n"
            "  \"version\": 1,\n"
            "  \"receiver_running\": true,\n"
            "  \"receiver_state\": \"no_source\",\n"
            "  \"selected_source_id\": null,\n"
            "  \"selected_source_name\": null,\n"
            "  \"active_source_name\": null,\n"
            "  \"width\": 0,\n"
            "  \"height\": 0,\n"
            "  \"frame_rate_n\": 0,\n"
            "  \"frame_rate_d\": 0,\n"
            "  \"last_frame_at\": null,\n"
            "  \"updated_at\": 1700000000.25,\n"
            "  \"error\": null\n"
            "}\n");
  StatusRecord full;
  full.state = ReceiverState::stopped;
  full.selected_source = "Cam \"1\"\b\\";
  full.active_source = "A";
  full.error = "No recent video frames";
  full.width = 1920;
  full.height = 1080;
  full.frame_rate_n = 30000;
  full.frame_rate_d = 1001;
  full.last_frame_at = 1712345678.1234567;
  EXPECT_EQ(status_document(full, false, 1712345679.5),
            "{\n"
            "  \"version\": 1,\n"
            "  \"receiver_running\": false,\n"
            "  \"receiver_state\": \"stopped\",\n"
            "  \"selected_source_id\": \"Cam \\\"1\\\"\\b\\\\\",\n"
            "  \"selected_source_name\": \"Cam \\\"1\\\"\\b\\\\\",\n"
            "  \"active_source_name\": \"A\",\n"
            "  \"width\": 1920,\n"
            "  \"height\": 1080,\n"
            "  \"frame_rate_n\": 30000,\n"
            "  \"frame_rate_d\": 1001,\n"
            "  \"last_frame_at\": 1712345678.1234567,\n"
            "  \"updated_at\": 1712345679.5,\n"
            "  \"error\": \"No recent video frames\"\n"
            "}\n");
}

TEST(LanSourcesDocument, Layouts) {
  struct Case {
    std::vector<DiscoveredSource> sources;
    std::string body;  // between the updated_at line and the end
  };
  const std::vector<Case> cases = {
      {{}, "  \"sources\": [  ]\n}\n"},
      {{{"A", ""}},
       "  \"sources\": [\n    {\"id\": \"A\", \"name\": \"A\", \"url_address\": null, \"online\": true}\n  ]\n}\n"},
      {{{"a\x01\"", "10.0.0.2:5961"}, {"\xc3\xa9\xff", ""}},
       "  \"sources\": [\n"
       "    {\"id\": \"a\\u0001\\\"\", \"name\": \"a\\u0001\\\"\", \"url_address\": \"10.0.0.2:5961\", \"online\": true},\n"
       "    {\"id\": \"\xc3\xa9\xff\", \"name\": \"\xc3\xa9\xff\", \"url_address\": null, \"online\": true}\n"
       "  ]\n}\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sources_document(c.sources, 1700000000.5),
              "{\n  \"version\": 1,\n  \"updated_at\": 1700000000.5,\n" + c.body);
  }
}

TEST(LanCollectSources, KeepsNamedSortsByBytes) {
  const ndi::Source raw[] = {
      {"b", nullptr}, {nullptr, "1.2.3.4"}, {"\xff", "x"}, {"", "y"}, {"a", "z"}, {"a", "b"}, {"ab", nullptr},
  };
  const std::vector<DiscoveredSource> expected = {{"a", "b"}, {"a", "z"}, {"ab", ""}, {"b", ""}, {"\xff", "x"}};
  EXPECT_EQ(collect_sources(raw, 7), expected);
  EXPECT_TRUE(collect_sources(nullptr, 3).empty());
}

TEST(LanLatency, SwitchAndDocument) {
  const std::vector<std::pair<const char*, bool>> switches = {
      {nullptr, false}, {"", false}, {"1", true}, {"01", false}, {"true", false}, {"1 ", false}};
  for (const auto& [value, on] : switches) EXPECT_EQ(latency_switch_from(value), on) << (value ? value : "(unset)");

  LatencyRecord r{12, 1700000000123456700, 1700000000150000000, 26.5433, 1700000000000000000, 4567};
  EXPECT_EQ(latency_document(r),
            "{\n"
            "  \"version\": 1,\n"
            "  \"frame_id\": \"12-1700000000150000000\",\n"
            "  \"captured_unix_ns\": 1700000000123456700,\n"
            "  \"published_unix_ns\": 1700000000150000000,\n"
            "  \"capture_to_publish_ms\": 26.543299999999999,\n"
            "  \"jpeg_mtime_ns\": 1700000000000000000,\n"
            "  \"jpeg_size\": 4567\n"
            "}\n");
}

// ---------------------------------------------------------------- binding (against the double)

struct ScopedRuntimeFolder {
  explicit ScopedRuntimeFolder(const std::string& folder) { ::setenv(kRuntimeFolderVariable, folder.c_str(), 1); }
  ~ScopedRuntimeFolder() { ::unsetenv(kRuntimeFolderVariable); }
};

std::string double_folder(const char* variant) { return std::string(NDI_DOUBLE_DIR) + "/" + variant; }

TEST(LanRuntimeBinding, BindsOnceRefusesIncompleteRuntimeAndUnloads) {
  {
    ScopedRuntimeFolder folder(double_folder("full"));
    RuntimeBinding binding;
    ASSERT_TRUE(binding.start());
    EXPECT_EQ(binding.library_path(), double_folder("full") + "/libndi.so.6");
    EXPECT_NE(binding.entry_points().recv_get_no_connections, nullptr);
    EXPECT_TRUE(binding.bind());  // already attempted: answers from the bound set
    binding.unload();
    EXPECT_EQ(binding.entry_points().initialize, nullptr);
    EXPECT_TRUE(binding.library_path().empty());
  }
  {
    ScopedRuntimeFolder folder(double_folder("without_connections"));
    RuntimeBinding binding;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(binding.start());
    EXPECT_FALSE(binding.bind());  // attempted already: no second search, no second message
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The NDI runtime is missing a receiver entry point.\n");
    EXPECT_EQ(binding.entry_points().initialize, nullptr);
    binding.unload();  // clears "attempted": the next bind searches again
    testing::internal::CaptureStderr();
    EXPECT_FALSE(binding.bind());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The NDI runtime is missing a receiver entry point.\n");
  }
  {
    ScopedRuntimeFolder folder("/nonexistent-folder");
    RuntimeBinding binding;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(binding.start());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "NDI runtime DLL was not found beside lancapture.exe or in NDI_RUNTIME_DIR_V6.\n");
  }
}

// The double is only worth its clean reports if it notices misuse: each fault below must show up.
TEST(LanRuntimeDouble, ReportsMisuse) {
  const fs::path folder = fs::temp_directory_path() / ("lancapture_double_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string control = (folder / "control").string(), report = (folder / "report.json").string();
  {
    std::FILE* f = std::fopen(control.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("source cam - ff0000 live\nvideo 8 8 0 30 1\n", f);
    std::fclose(f);
  }
  ::setenv("NDI_DOUBLE_CONTROL", control.c_str(), 1);
  ::setenv("NDI_DOUBLE_REPORT", report.c_str(), 1);
  {
    ScopedRuntimeFolder runtime(double_folder("full"));
    RuntimeBinding binding;
    ASSERT_TRUE(binding.start());
    const ndi::EntryPoints& e = binding.entry_points();
    void* finder = e.find_create_v2(nullptr);
    const ndi::RecvCreateV3 settings{{nullptr, nullptr}, 0, 100, false, "test"};
    void* receiver = e.recv_create_v3(&settings);
    const ndi::Source cam{"cam", nullptr};
    e.recv_connect(receiver, &cam);
    ndi::VideoFrameV2 video = ndi::default_video_frame();
    ndi::AudioFrameV3 audio = ndi::default_audio_frame();
    ndi::MetadataFrame metadata = ndi::default_metadata_frame();
    ASSERT_EQ(e.recv_capture_v3(receiver, &video, &audio, &metadata, 1000), ndi::kFrameVideo);
    e.recv_free_video_v2(receiver, &video);
    e.recv_free_video_v2(receiver, &video);                                  // freed twice
    ASSERT_EQ(e.recv_capture_v3(receiver, &video, &audio, &metadata, 1000),  // record not reset
              ndi::kFrameVideo);
    e.recv_destroy(receiver);  // with that frame still out
    e.find_destroy(finder);
    e.destroy();
    e.find_create_v2(nullptr);  // after the runtime was shut down, and never destroyed
    binding.unload();           // shuts down once more, then unloads
  }
  ::unsetenv("NDI_DOUBLE_CONTROL");
  ::unsetenv("NDI_DOUBLE_REPORT");
  const std::string text = read_whole_file(report);
  for (const char* fault : {"NDIlib_recv_free_video_v2 of a frame that is not outstanding",
                            "capture with a video frame record not at its defaults",
                            "frames not freed at NDIlib_recv_destroy", "NDIlib_find_create_v2 called after NDIlib_destroy",
                            "NDIlib_destroy without a successful NDIlib_initialize", "finder not destroyed at unload"}) {
    EXPECT_TRUE(contains(text, std::string("\"") + fault + "\": 1")) << fault << "\n" << text;
  }
  EXPECT_TRUE(contains(text, "\"unloaded\": true")) << text;
  fs::remove_all(folder);
}

// ---------------------------------------------------------------- control loop on a test clock

constexpr std::int64_t kSecond = 1000000000;

struct FakeSource {
  std::string name;
  std::string url;
  bool live = true;
};

// The fake runtime: video every frame period from a live connected source, otherwise the full
// capture timeout passes with nothing. Time moves only when the fake runtime waits.
struct FakeRuntime {
  std::int64_t now = 100 * kSecond;
  std::int64_t frame_period = kSecond / 30;
  std::vector<FakeSource> sources;
  std::vector<ndi::Source> array;
  std::optional<std::string> connected;
  std::vector<std::pair<std::int64_t, std::optional<std::string>>> connects;
  std::vector<std::uint32_t> waits;
  std::deque<std::int32_t> forced;  // frame types to return before anything else
  int late_frames = 0;              // video still delivered while disconnected
  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(8 * 4 * 4, 0x80);
  int outstanding = 0;
  int captures = 0;
  int connections = 2;
};
FakeRuntime fake;

bool fake_live() {
  if (!fake.connected) return false;
  for (const FakeSource& s : fake.sources) {
    if (s.name == *fake.connected) return s.live;
  }
  return false;
}

const ndi::EntryPoints& fake_entry_points() {
  static ndi::EntryPoints e = [] {
    ndi::EntryPoints p;
    p.find_wait_for_sources = [](void*, std::uint32_t timeout) {
      fake.waits.push_back(timeout);
      return false;
    };
    p.find_get_current_sources = [](void*, std::uint32_t* count) -> const ndi::Source* {
      fake.array.clear();
      for (const FakeSource& s : fake.sources) fake.array.push_back({s.name.c_str(), s.url.empty() ? nullptr : s.url.c_str()});
      *count = static_cast<std::uint32_t>(fake.array.size());
      return fake.array.data();
    };
    p.recv_connect = [](void*, const ndi::Source* source) {
      fake.connected = source ? std::optional<std::string>(source->p_ndi_name) : std::nullopt;
      fake.connects.emplace_back(fake.now, fake.connected);
    };
    p.recv_capture_v3 = [](void*, ndi::VideoFrameV2* v, ndi::AudioFrameV3*, ndi::MetadataFrame*,
                           std::uint32_t timeout) -> std::int32_t {
      ++fake.captures;
      if (!fake.forced.empty()) {
        const std::int32_t type = fake.forced.front();
        fake.forced.pop_front();
        return type;
      }
      const bool late = !fake.connected && fake.late_frames > 0;
      if (fake_live() || late) {
        if (late) --fake.late_frames;
        fake.now += fake.frame_period;
        v->xres = 8;
        v->yres = 4;
        v->FourCC = ndi::kFourccBgrx;
        v->frame_rate_N = 30;
        v->frame_rate_D = 1;
        v->p_data = fake.pixels.data();
        v->line_stride_in_bytes = 32;
        ++fake.outstanding;
        return ndi::kFrameVideo;
      }
      fake.now += static_cast<std::int64_t>(timeout) * 1000000;
      return ndi::kFrameNone;
    };
    p.recv_free_video_v2 = [](void*, const ndi::VideoFrameV2*) { --fake.outstanding; };
    p.recv_free_audio_v3 = [](void*, const ndi::AudioFrameV3*) {};
    p.recv_free_metadata = [](void*, const ndi::MetadataFrame*) {};
    p.recv_get_no_connections = [](void*) { return fake.connections; };
    return p;
  }();
  return e;
}

const LoopClock kTestClock{[] { return fake.now; },
                           [] { return 1700000000.0 + static_cast<double>(fake.now) / 1e9; },
                           [] { return 1700000000 * kSecond + fake.now; }};

void write_file(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

class LanLoop : public testing::Test {
 protected:
  void SetUp() override {
    fake = FakeRuntime{};
    tessaryn::receivers::keep_running.store(1);
    folder_ = fs::temp_directory_path() / ("lancapture_loop_" + std::to_string(::getpid()) + "_" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "app" / "static");
    previous_ = fs::current_path();
    fs::current_path(folder_);
  }
  void TearDown() override {
    loop_.reset();
    fs::current_path(previous_);
    fs::remove_all(folder_);
    tessaryn::receivers::keep_running.store(1);
  }

  ControlLoop& start(bool latency = false) {
    loop_.emplace(fake_entry_points(), &fake, &fake, latency, kTestClock);
    return *loop_;
  }
  // Runs iterations until the test clock reaches `seconds` after `from`.
  void run_until(std::int64_t from, double seconds) {
    while (fake.now - from < static_cast<std::int64_t>(seconds * kSecond)) ASSERT_TRUE(loop_->run_once());
  }
  std::string status() { return read_whole_file(kStatusPath); }

  fs::path folder_, previous_;
  std::optional<ControlLoop> loop_;
};

TEST_F(LanLoop, SilentSourceCycleConnectOfflineDisconnectReconnect) {
  fake.sources = {{"cam", "10.1.1.1:5961", false}};
  write_file(kSelectionPath, "cam");
  const std::int64_t t0 = fake.now;
  ControlLoop& loop = start();
  std::optional<std::int64_t> offline_at;
  while (fake.now - t0 < 6 * kSecond) {
    ASSERT_TRUE(loop.run_once());
    if (!offline_at && loop.session().status.state == ReceiverState::offline) {
      offline_at = fake.now - t0;
      EXPECT_EQ(loop.session().status.error, "No recent video frames");
      EXPECT_TRUE(contains(status(), "\"error\": \"No recent video frames\""));
    }
  }
  ASSERT_TRUE(offline_at.has_value());
  EXPECT_EQ(*offline_at, 3 * kSecond);
  // The selection's disconnect, the connect, the forced disconnect 5 s later, the reconnect 500 ms
  // (here the first iteration at or after it) after that.
  using C = std::pair<std::int64_t, std::optional<std::string>>;
  const std::vector<C> expected = {{t0, std::nullopt}, {t0, "cam"}, {t0 + 5 * kSecond, std::nullopt},
                                   {t0 + 5600 * kMs, "cam"}};
  EXPECT_EQ(fake.connects, expected);
  EXPECT_EQ(loop.session().status.state, ReceiverState::connecting);
  EXPECT_TRUE(loop.session().status.error.empty());
}

TEST_F(LanLoop, VideoConnectsAndEverySixthFrameIsAPreview) {
  fake.sources = {{"cam", "", true}};
  write_file(kSelectionPath, "cam");
  ControlLoop& loop = start(true);
  testing::internal::CaptureStdout();
  while (loop.session().video_count < 5) ASSERT_TRUE(loop.run_once());
  EXPECT_FALSE(fs::exists(kPreviewPath));
  EXPECT_TRUE(contains(status(), "\"receiver_state\": \"connected\""));
  EXPECT_TRUE(contains(status(), "\"width\": 8"));
  ASSERT_TRUE(loop.run_once());
  EXPECT_TRUE(fs::exists(kPreviewPath));
  EXPECT_FALSE(fs::exists(kPreviewTempPath));
  EXPECT_TRUE(contains(read_whole_file(kLatencyPath), "\"frame_id\": \"6-"));
  while (loop.session().video_count < 12) ASSERT_TRUE(loop.run_once());
  EXPECT_TRUE(contains(read_whole_file(kLatencyPath), "\"frame_id\": \"12-"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "Connexion à cam...\n"));
  EXPECT_TRUE(contains(out, "Match exact trouvé: sélection=\"cam\", finder=\"cam\", url=\"(absente)\"\n"));
  const auto first = out.find("Première frame vidéo: 8x4, frame_rate=30/1, timestamp=");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(out.find("Première frame vidéo", first + 1), std::string::npos);
  EXPECT_EQ(fake.outstanding, 0);
}

TEST_F(LanLoop, StatusIsRewrittenAfterEveryVideoFrameAndOnceASecondOtherwise) {
  fake.sources = {{"cam", "", true}};
  write_file(kSelectionPath, "cam");
  ControlLoop& loop = start();
  for (int i = 0; i < 4; ++i) {
    fs::remove(kStatusPath);
    ASSERT_TRUE(loop.run_once());
    EXPECT_TRUE(fs::exists(kStatusPath)) << "after frame " << i;
  }
  fake.sources[0].live = false;
  ASSERT_TRUE(loop.run_once());  // first capture with nothing: status unchanged, last write 200 ms ago
  std::vector<std::int64_t> writes;
  const std::int64_t t0 = fake.now;
  fs::remove(kStatusPath);
  while (fake.now - t0 < 2900 * kMs) {
    ASSERT_TRUE(loop.run_once());
    if (fs::exists(kStatusPath)) {
      writes.push_back(fake.now - t0);
      fs::remove(kStatusPath);
    }
  }
  EXPECT_EQ(writes, (std::vector<std::int64_t>{800 * kMs, 1800 * kMs, 2800 * kMs}));
}

TEST_F(LanLoop, FramesAfterASwitchAreCountedOnly) {
  fake.sources = {{"cam", "", true}};
  write_file(kSelectionPath, "cam");
  ControlLoop& loop = start();
  while (loop.session().video_count < 6) ASSERT_TRUE(loop.run_once());
  const auto preview_time = fs::last_write_time(kPreviewPath);
  fake.late_frames = 12;
  write_file(kSelectionPath, "elsewhere");
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(loop.run_once());
  EXPECT_EQ(fake.late_frames, 0);
  EXPECT_EQ(loop.session().counters.video, 12u);
  EXPECT_EQ(loop.session().video_count, 0u);
  EXPECT_EQ(loop.session().status.state, ReceiverState::offline);
  EXPECT_EQ(loop.session().status.width, 0);
  EXPECT_EQ(fs::last_write_time(kPreviewPath), preview_time);
  EXPECT_TRUE(contains(status(), "\"selected_source_name\": \"elsewhere\""));
  EXPECT_TRUE(contains(status(), "\"last_frame_at\": null"));
}

TEST_F(LanLoop, ErrorFrameDisconnectsAndALaterIterationReconnects) {
  fake.sources = {{"cam", "", true}};
  write_file(kSelectionPath, "cam");
  ControlLoop& loop = start();
  while (loop.session().video_count < 3) ASSERT_TRUE(loop.run_once());
  const std::int64_t connected_at = fake.connects.back().first;
  fake.forced = {ndi::kFrameError};
  ASSERT_TRUE(loop.run_once());
  EXPECT_EQ(loop.session().status.state, ReceiverState::error);
  EXPECT_EQ(loop.session().status.error, "NDI receiver error");
  EXPECT_EQ(loop.session().status.active_source, "cam");
  EXPECT_TRUE(loop.session().connected_source.empty());
  EXPECT_EQ(fake.connects.back().second, std::nullopt);
  EXPECT_TRUE(contains(status(), "\"receiver_state\": \"error\""));
  while (fake.connects.back().second == std::nullopt) {
    ASSERT_TRUE(loop.run_once());
    if (fake.connects.back().second == std::nullopt) {
      EXPECT_EQ(loop.session().status.state, ReceiverState::error);
    }
  }
  EXPECT_GE(fake.connects.back().first, connected_at + 500 * kMs);
  EXPECT_EQ(fake.connects.back().second, std::optional<std::string>("cam"));
  ASSERT_TRUE(loop.run_once());
  EXPECT_EQ(loop.session().status.state, ReceiverState::connected);
  EXPECT_TRUE(loop.session().status.error.empty());
  EXPECT_EQ(loop.session().counters.error, 1u);
}

TEST_F(LanLoop, OtherFrameTypesAreCountedAndStatisticsPrintedOnce) {
  fake.sources = {{"cam", "", false}};
  write_file(kSelectionPath, "cam");
  start();
  fake.forced = {ndi::kFrameAudio, ndi::kFrameMetadata, ndi::kFrameStatusChange, 57};
  testing::internal::CaptureStdout();
  const std::int64_t t0 = fake.now;
  run_until(t0, 11);
  const std::string out = testing::internal::GetCapturedStdout();
  // Four forced captures took no time; 5 s of 200 ms waits after them, the last one at 5 s.
  const std::string line =
      "Capture 5s: video=0 audio=1 metadata=1 none=25 error=0 other=2 connexions=2 état=offline\n";
  EXPECT_TRUE(contains(out, line)) << out;
  EXPECT_EQ(out.find("Capture 5s"), out.rfind("Capture 5s"));
}

TEST_F(LanLoop, SourcePollsEveryTwoSecondsAndOnEveryRefreshChange) {
  fake.sources = {{"b", "", true}, {"a", "", true}};
  ControlLoop& loop = start();
  const std::int64_t t0 = fake.now;
  run_until(t0, 4.1);
  EXPECT_EQ(fake.waits, (std::vector<std::uint32_t>{0, 0, 0}));
  const std::string listed = read_whole_file(kSourcesPath);
  EXPECT_LT(listed.find("\"id\": \"a\""), listed.find("\"id\": \"b\""));
  // An unchanged list is not published again; a refresh request publishes it anyway.
  fs::remove(kSourcesPath);
  run_until(fake.now, 2.1);
  EXPECT_FALSE(fs::exists(kSourcesPath));
  const std::vector<std::pair<std::optional<std::string>, bool>> refreshes = {
      {"1", true}, {"1", false}, {"2", true}, {std::nullopt, true}, {std::nullopt, false}, {"", false}};
  for (const auto& [content, refresh] : refreshes) {
    if (content) write_file(kRefreshPath, *content);
    else fs::remove(kRefreshPath);
    fake.waits.clear();
    ASSERT_TRUE(loop.run_once());
    EXPECT_EQ(fake.waits, refresh ? std::vector<std::uint32_t>{250} : std::vector<std::uint32_t>{})
        << (content ? *content : "(removed)");
    EXPECT_EQ(fs::exists(kSourcesPath), refresh);
    fs::remove(kSourcesPath);
  }
  fake.sources.push_back({"c", "", true});
  run_until(fake.now, 2.1);
  EXPECT_TRUE(contains(read_whole_file(kSourcesPath), "\"id\": \"c\""));
}

TEST_F(LanLoop, SelectionRulesAndStop) {
  fake.sources = {{"cam", "", true}};
  ControlLoop& loop = start();
  struct Step {
    std::optional<std::string> selection;  // none: the file is removed
    ReceiverState state;
  };
  const std::vector<Step> steps = {
      {"cam\n", ReceiverState::offline},  // the line feed is part of the name
      {"cam", ReceiverState::connected},
      {std::nullopt, ReceiverState::no_source},
      {"cam", ReceiverState::connected},
      {"", ReceiverState::no_source},
  };
  for (const Step& step : steps) {
    if (step.selection) write_file(kSelectionPath, *step.selection);
    else fs::remove(kSelectionPath);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(loop.run_once());
    EXPECT_EQ(loop.session().status.state, step.state) << (step.selection ? *step.selection : "(removed)");
    if (step.state == ReceiverState::no_source) {
      EXPECT_FALSE(fake.connected.has_value());
      EXPECT_EQ(status_document(loop.session().status, true, 0), status_document(StatusRecord{}, true, 0));
    }
  }
  write_file(kStopPath, "");
  EXPECT_TRUE(loop.run_once());  // an empty request is none
  write_file(kStopPath, "stop\n");
  const int captures = fake.captures;
  EXPECT_FALSE(loop.run_once());
  EXPECT_EQ(fake.captures, captures);
  EXPECT_EQ(tessaryn::receivers::keep_running.load(), 0);
  loop.shutdown();
  EXPECT_TRUE(contains(status(), "\"receiver_running\": false,\n  \"receiver_state\": \"stopped\""));
}

}  // namespace
