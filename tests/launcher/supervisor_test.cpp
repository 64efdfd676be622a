// The supervision rules over a recording platform: what the launcher does, in which order, for
// each turn of events. The POSIX platform itself is exercised by the process tests.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/menu_text.hpp"
#include "launcher/supervisor.hpp"

namespace tl = tessaryn::launcher;

namespace {

const std::string kRoot = "/data";
const std::string kUrlPath = "/data/Tessaryn/tessaryn-url";
const std::string kNdiStop = "/data/Tessaryn/runtime/app/static/ndi_stop.request";
const std::string kSrtStop = "/data/Tessaryn/runtime/app/static/srt_stop.request";
const std::vector<std::string> kStopSequence = {"write " + kNdiStop + " stop\n", "write " + kSrtStop + " stop\n",
                                                "sleep 800", "end job"};

class RecordingPlatform final : public tl::Platform {
 public:
  std::vector<std::string> log;
  std::map<std::string, std::string> files;
  std::optional<std::string> root = kRoot;
  tl::InstanceClaim claim{tl::InstanceState::kClaimed, ""};
  bool job_creatable = true;
  bool directory_makeable = true;
  bool icons_present = true;
  bool window_creatable = true;
  std::deque<bool> start_outcomes;  // one per start attempt; an empty queue means success
  bool agent_alive = false;
  std::vector<tl::AgentLaunch> launches;
  tl::LoopEvents* events = nullptr;

  tl::InstanceClaim claim_single_instance() override { return record("claim"), claim; }
  void forward_open_request() override { record("forward open"); }
  void release_single_instance() override { record("release"); }
  std::optional<std::string> data_root() override { return root; }
  char path_separator() const override { return '/'; }
  std::optional<std::string> program_directory() override { return std::string("/opt/tessaryn/"); }
  std::string agent_program_name() const override { return "Tessaryn-agent"; }
  bool make_directory(const std::string& path) override { return record("mkdir " + path), directory_makeable; }
  std::optional<std::string> read_file_start(const std::string& path, std::size_t max_bytes) override {
    auto found = files.find(path);
    if (found == files.end()) return std::nullopt;
    return found->second.substr(0, max_bytes);
  }
  bool write_file(const std::string& path, std::string_view bytes) override {
    record("write " + path + " " + std::string(bytes));
    files[path] = std::string(bytes);
    return true;
  }
  void delete_file(const std::string& path) override {
    record("delete " + path);
    files.erase(path);
  }
  bool append_file(const std::string& path, std::string_view bytes) override {
    record("append " + path + " " + std::string(bytes));
    files[path] += std::string(bytes);
    return true;
  }
  void sleep(std::chrono::milliseconds duration) override { record("sleep " + std::to_string(duration.count())); }
  bool create_agent_job() override { return record("create job"), job_creatable; }
  bool start_agent_in_job(const tl::AgentLaunch& launch) override {
    launches.push_back(launch);
    bool ok = true;
    if (!start_outcomes.empty()) {
      ok = start_outcomes.front();
      start_outcomes.pop_front();
    }
    record(ok ? "start" : "start failed");
    agent_alive = ok;
    return ok;
  }
  bool agent_exited() override { return !agent_alive; }
  void end_agent_job() override {
    record("end job");
    agent_alive = false;
  }
  void open_in_browser(const std::string& url) override { record("open " + url); }
  bool load_icons() override { return record("icons"), icons_present; }
  void show_error(const std::string& text, const std::string& caption) override {
    record("error " + caption + ": " + text);
  }
  bool create_tray_window(tl::LoopEvents& loop_events, std::chrono::milliseconds tick) override {
    record("window " + std::to_string(tick.count()));
    events = &loop_events;
    return window_creatable;
  }
  void run_loop() override { record("loop"); }
  void destroy_tray_window() override {
    record("destroy");
    if (events != nullptr) events->on_destroy();
  }

  int count(const std::string& entry) const {
    int n = 0;
    for (const std::string& line : log) n += line == entry;
    return n;
  }
  std::vector<std::string> take_log() {
    std::vector<std::string> taken;
    taken.swap(log);
    return taken;
  }

 private:
  void record(const std::string& entry) { log.push_back(entry); }
};

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace

TEST(SupervisorRun, SecondInstanceHandsOverAndExitsZero) {
  RecordingPlatform platform;
  platform.claim = {tl::InstanceState::kHeldElsewhere, ""};
  tl::Supervisor supervisor(platform);
  EXPECT_EQ(supervisor.run(), 0);
  EXPECT_EQ(platform.log, (std::vector<std::string>{"claim", "forward open", "release"}));
}

TEST(SupervisorRun, AnInstanceThatCannotBeHadIsReportedAndExitsOne) {
  // The folder the instance lives in is unusable: the launch must not pass for a second copy's
  // quiet hand-over. Said on the error channel (stderr and a dialog), and in the log when the data
  // folder can be had; the claim is given back all the same.
  const std::string problem = "the session folder /run/user/1000 does not exist";
  const std::string text = "Tessaryn cannot start: " + problem;
  const std::string log = "/data/Tessaryn/tray-agent-error.log";
  struct Case {
    const char* name;
    std::optional<std::string> root;
    bool directory_makeable;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"data folder", kRoot, true,
       {"claim", "mkdir /data/Tessaryn", "append " + log + " " + text + "\n", "error Tessaryn: " + text, "release"}},
      {"data folder cannot be made", kRoot, false,
       {"claim", "mkdir /data/Tessaryn", "error Tessaryn: " + text, "release"}},
      {"no data folder", std::nullopt, true, {"claim", "error Tessaryn: " + text, "release"}},
  };
  for (const Case& c : cases) {
    RecordingPlatform platform;
    platform.claim = {tl::InstanceState::kUnavailable, problem};
    platform.root = c.root;
    platform.directory_makeable = c.directory_makeable;
    platform.files[log] = "earlier line\n";
    tl::Supervisor supervisor(platform);
    EXPECT_EQ(supervisor.run(), 1) << c.name;
    EXPECT_EQ(platform.log, c.expected) << c.name;
    EXPECT_TRUE(platform.launches.empty()) << c.name;
    // Appended: what the agent logged before stays.
    if (c.expected.size() == 5) {
      EXPECT_EQ(platform.files[log], "earlier line\n" + text + "\n") << c.name;
    }
  }
}

TEST(SupervisorRun, NormalStartToQuit) {
  RecordingPlatform platform;
  platform.files[kUrlPath] = "http://127.0.0.1:1111";  // stale, from an earlier agent
  tl::Supervisor supervisor(platform);
  EXPECT_EQ(supervisor.run(), 0);
  EXPECT_EQ(supervisor.start_count(), 1);
  EXPECT_EQ(platform.log, (std::vector<std::string>{"claim", "delete " + kUrlPath, "create job",
                                                    "mkdir /data/Tessaryn", "start", "icons", "window 400", "loop",
                                                    "release"}));
  ASSERT_EQ(platform.launches.size(), 1u);
  EXPECT_EQ(platform.launches[0].program, "/opt/tessaryn/Tessaryn-agent");
  EXPECT_EQ(platform.launches[0].working_directory, "/opt/tessaryn/");
  EXPECT_EQ(platform.launches[0].output_log, "/data/Tessaryn/tray-agent.log");
  EXPECT_EQ(platform.launches[0].error_log, "/data/Tessaryn/tray-agent-error.log");
}

TEST(SupervisorRun, FailuresAndTheirExits) {
  struct Case {
    const char* name;
    void (*arrange)(RecordingPlatform&);
    int exit_code;
    std::vector<std::string> log_after_claim;
  };
  const std::vector<std::string> start_prefix = {"delete " + kUrlPath, "create job", "mkdir /data/Tessaryn"};
  const Case cases[] = {
      // The agent program cannot be started: everything is stopped before the exit.
      {"agent missing", [](RecordingPlatform& p) { p.start_outcomes = {false}; }, 1,
       joined({start_prefix, {"start failed"}, kStopSequence, {"release"}})},
      // No job, no start attempted, nothing to stop.
      {"no job", [](RecordingPlatform& p) { p.job_creatable = false; }, 1,
       {"delete " + kUrlPath, "create job", "release"}},
      {"no icon", [](RecordingPlatform& p) { p.icons_present = false; }, 1,
       joined({start_prefix,
               {"start", "icons", "error Tessaryn: Tessaryn could not load its application icon."},
               kStopSequence,
               {"release"}})},
      {"no window", [](RecordingPlatform& p) { p.window_creatable = false; }, 1,
       joined({start_prefix, {"start", "icons", "window 400"}, kStopSequence, {"release"}})},
  };
  for (const Case& c : cases) {
    RecordingPlatform platform;
    c.arrange(platform);
    tl::Supervisor supervisor(platform);
    EXPECT_EQ(supervisor.run(), c.exit_code) << c.name;
    std::vector<std::string> log = platform.take_log();
    ASSERT_FALSE(log.empty()) << c.name;
    EXPECT_EQ(log.front(), "claim") << c.name;
    log.erase(log.begin());
    EXPECT_EQ(log, c.log_after_claim) << c.name;
  }
}

TEST(SupervisorRun, WithoutDataFolderTheAgentRunsUnredirectedAndNoFileIsTouched) {
  for (bool no_root : {true, false}) {
    RecordingPlatform platform;
    if (no_root) {
      platform.root = std::nullopt;
    } else {
      platform.directory_makeable = false;
    }
    tl::Supervisor supervisor(platform);
    EXPECT_EQ(supervisor.run(), 0);
    ASSERT_EQ(platform.launches.size(), 1u);
    EXPECT_FALSE(platform.launches[0].output_log.has_value());
    EXPECT_FALSE(platform.launches[0].error_log.has_value());
    platform.take_log();
    supervisor.stop_everything();
    if (no_root) {
      EXPECT_EQ(platform.log, (std::vector<std::string>{"sleep 800", "end job"}));
    } else {
      EXPECT_EQ(platform.log, kStopSequence);
    }
  }
}

TEST(StopEverything, StopFilesFirstThenTheWaitThenTheKill) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  supervisor.stop_everything();
  EXPECT_EQ(platform.log, kStopSequence);
  EXPECT_EQ(platform.files[kNdiStop], "stop\n");
  EXPECT_EQ(platform.files[kSrtStop], "stop\n");
}

TEST(StopEverything, QuitFromTheMenuRunsTheStopSequenceOnce) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  platform.take_log();
  supervisor.on_command(tl::kCommandQuit);
  EXPECT_EQ(platform.log, joined({{"destroy"}, kStopSequence}));
}

TEST(Tick, RestartsStopAfterThreeStarts) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  platform.take_log();
  // The agent exits at once, every time.
  for (int round = 0; round < 6; ++round) {
    platform.agent_alive = false;
    supervisor.on_timer();
  }
  EXPECT_EQ(supervisor.start_count(), 3);
  EXPECT_EQ(platform.count("start"), 2);
  // Each restart: stop everything, forget the old address, start again.
  std::vector<std::string> restart =
      joined({kStopSequence, {"delete " + kUrlPath, "create job", "mkdir /data/Tessaryn", "start"}});
  EXPECT_EQ(platform.log, joined({restart, restart}));
}

TEST(Tick, AFailedRestartCountsAsAStart) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  platform.start_outcomes = {false, true};
  platform.agent_alive = false;
  supervisor.on_timer();  // second start fails
  EXPECT_EQ(supervisor.start_count(), 2);
  supervisor.on_timer();  // third start works
  EXPECT_EQ(supervisor.start_count(), 3);
  EXPECT_FALSE(platform.agent_exited());
  platform.agent_alive = false;
  platform.take_log();
  supervisor.on_timer();
  EXPECT_TRUE(platform.log.empty());
}

TEST(Tick, AfterTheLastStartOpenRequestsDoNothing) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  for (int round = 0; round < 3; ++round) {
    platform.agent_alive = false;
    supervisor.on_timer();
  }
  platform.files[kUrlPath] = "http://127.0.0.1:2222";
  platform.take_log();
  supervisor.on_tray_left_click();
  EXPECT_TRUE(platform.log.empty());
}

TEST(Tick, PageOpensOnceByItselfThenOnlyOnRequest) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  platform.take_log();
  struct Step {
    const char* event;  // "timer", "click", "menu", "second instance"
    std::optional<std::string> url_file;
    std::vector<std::string> log;
    bool opened_after;
  };
  const Step steps[] = {
      {"timer", std::nullopt, {}, false},                                   // agent not serving yet
      {"timer", "http://127.0.0.1:4000/x", {}, false},                       // refused: tried again later
      {"timer", "http://127.0.0.1:4000\r\n", {"open http://127.0.0.1:4000"}, true},
      {"timer", "http://127.0.0.1:4000\r\n", {}, true},                      // once by itself
      {"click", "http://127.0.0.1:4000", {"open http://127.0.0.1:4000"}, true},
      {"menu", "http://127.0.0.1:4001/", {"open http://127.0.0.1:4001/"}, true},
      {"second instance", "http://127.0.0.1:4002", {"open http://127.0.0.1:4002"}, true},
      {"click", "http://localhost:4000", {}, true},                          // request stays pending
      {"timer", "http://127.0.0.1:4003", {"open http://127.0.0.1:4003"}, true},
      {"timer", "http://127.0.0.1:4003", {}, true},
  };
  for (const Step& step : steps) {
    if (step.url_file) {
      platform.files[kUrlPath] = *step.url_file;
    } else {
      platform.files.erase(kUrlPath);
    }
    std::string event = step.event;
    if (event == "timer") {
      supervisor.on_timer();
    } else if (event == "click") {
      supervisor.on_tray_left_click();
    } else {
      supervisor.on_command(tl::kCommandOpen);  // menu item and second instance alike
    }
    EXPECT_EQ(platform.take_log(), step.log) << step.event << " with " << step.url_file.value_or("(no file)");
    EXPECT_EQ(supervisor.browser_opened(), step.opened_after) << step.event;
  }
  EXPECT_FALSE(supervisor.open_requested());
}

TEST(Tick, AnOverlongAddressFileIsNeverOpened) {
  RecordingPlatform platform;
  tl::Supervisor supervisor(platform);
  ASSERT_EQ(supervisor.run(), 0);
  platform.files[kUrlPath] = "http://127.0.0.1:80" + std::string(10 * 1024, '8');
  platform.take_log();
  supervisor.on_timer();
  EXPECT_TRUE(platform.log.empty());
  EXPECT_FALSE(supervisor.browser_opened());
}

TEST(TrayMenu, VersionLineOnlyWhenThereIsOne) {
  struct Case {
    std::optional<std::string> version_file;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {std::nullopt, {"Open Tessaryn", "Quit"}},
      {"", {"Open Tessaryn", "Quit"}},
      {"\r\n", {"Open Tessaryn", "Quit"}},
      {"Tessaryn 0.1.0\r\n", {"Open Tessaryn", "Tessaryn 0.1.0", "Quit"}},
  };
  for (const Case& c : cases) {
    RecordingPlatform platform;
    if (c.version_file) platform.files["/data/Tessaryn/tessaryn-version.txt"] = *c.version_file;
    tl::Supervisor supervisor(platform);
    std::vector<tl::MenuItem> menu = supervisor.tray_menu();
    std::vector<std::string> texts;
    for (const tl::MenuItem& item : menu) texts.push_back(item.text);
    EXPECT_EQ(texts, c.texts) << c.version_file.value_or("(no file)");
    EXPECT_EQ(menu.front().command, tl::kCommandOpen);
    EXPECT_FALSE(menu.front().greyed);
    EXPECT_EQ(menu.back().command, tl::kCommandQuit);
    if (menu.size() == 3) {
      EXPECT_EQ(menu[1].command, tl::kCommandVersion);
      EXPECT_TRUE(menu[1].greyed);
    }
  }
}

TEST(TrayMenu, VersionTextIsShownLiterallyOnWindowsMenus) {
  // The menu carries the agent's text as written; the Windows menu, which reads "&" as a shortcut
  // marker, is given every "&" doubled.
  struct Case {
    std::string version;
    std::string windows_text;
  };
  const Case cases[] = {
      {"R&D build", "R&&D build"},
      {"&", "&&"},
      {"a&&b&", "a&&&&b&&"},
      {"Tessaryn 0.1.0", "Tessaryn 0.1.0"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tl::literal_menu_text(c.version), c.windows_text) << c.version;
  }
  RecordingPlatform platform;
  platform.files["/data/Tessaryn/tessaryn-version.txt"] = "R&D build\r\n";
  tl::Supervisor supervisor(platform);
  std::vector<tl::MenuItem> menu = supervisor.tray_menu();
  ASSERT_EQ(menu.size(), 3u);
  EXPECT_EQ(menu[1].text, "R&D build");
}
