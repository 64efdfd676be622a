#include "launcher/supervisor.hpp"

#include <utility>

#include "launcher/page_url.hpp"

namespace tessaryn::launcher {

Supervisor::Supervisor(Platform& platform) : platform_(platform) {}

LauncherFiles Supervisor::files() {
  // The data root is looked up at every use, as the environment it comes from is.
  return LauncherFiles(platform_.data_root(), platform_.path_separator());
}

namespace {

// Holds the single-instance claim for as long as it lives, so every way out of run() gives it back.
class InstanceHold {
 public:
  explicit InstanceHold(Platform& platform) : platform_(platform), claim_(platform.claim_single_instance()) {}
  ~InstanceHold() { platform_.release_single_instance(); }
  InstanceHold(const InstanceHold&) = delete;
  InstanceHold& operator=(const InstanceHold&) = delete;

  const InstanceClaim& claim() const { return claim_; }

 private:
  Platform& platform_;
  InstanceClaim claim_;
};

}  // namespace

int Supervisor::run() {
  const InstanceHold instance(platform_);
  switch (instance.claim().state) {
    case InstanceState::kClaimed:
      return run_claimed();
    case InstanceState::kHeldElsewhere:
      platform_.forward_open_request();
      return 0;
    case InstanceState::kUnavailable:
      break;
  }
  // Exiting quietly here would look to the user as if the launch did nothing at all.
  report_unusable(instance.claim().problem);
  return 1;
}

int Supervisor::run_claimed() {
  // A page address left by an earlier agent would be opened before the new agent serves.
  delete_page_url();
  if (!start_agent()) return 1;
  start_count_ = 1;
  if (!platform_.load_icons()) {
    platform_.show_error("Tessaryn could not load its application icon.", "Tessaryn");
    stop_everything();
    return 1;
  }
  if (!platform_.create_tray_window(*this, kTickPeriod)) {
    stop_everything();
    return 1;
  }
  platform_.run_loop();
  return 0;
}

void Supervisor::report_unusable(const std::string& problem) {
  const std::string text = "Tessaryn cannot start: " + problem;
  LauncherFiles paths = files();
  std::optional<std::string> folder = paths.folder();
  std::optional<std::string> log = paths.file(kAgentErrorLog);
  if (folder && log && platform_.make_directory(*folder)) platform_.append_file(*log, text + "\n");
  platform_.show_error(text, "Tessaryn");
}

bool Supervisor::start_agent() {
  std::optional<std::string> directory = platform_.program_directory();
  if (!directory) return false;
  if (!platform_.create_agent_job()) return false;
  AgentLaunch launch;
  launch.program = *directory + platform_.agent_program_name();
  launch.working_directory = *directory;
  LauncherFiles paths = files();
  std::optional<std::string> folder = paths.folder();
  if (folder && platform_.make_directory(*folder)) {
    std::optional<std::string> output_log = paths.file(kAgentOutputLog);
    std::optional<std::string> error_log = paths.file(kAgentErrorLog);
    if (output_log && error_log) {
      launch.output_log = std::move(output_log);
      launch.error_log = std::move(error_log);
    }
  }
  if (!platform_.start_agent_in_job(launch)) {
    stop_everything();
    return false;
  }
  return true;
}

void Supervisor::stop_everything() {
  LauncherFiles paths = files();
  for (std::string_view request : {kNdiStopRequest, kSrtStopRequest}) {
    if (std::optional<std::string> path = paths.file(request)) platform_.write_file(*path, kStopRequestText);
  }
  platform_.sleep(kStopWait);
  platform_.end_agent_job();
}

void Supervisor::delete_page_url() {
  if (std::optional<std::string> path = files().file(kPageUrlFile)) platform_.delete_file(*path);
}

std::optional<std::string> Supervisor::read_page_url() {
  std::optional<std::string> path = files().file(kPageUrlFile);
  if (!path) return std::nullopt;
  std::optional<std::string> bytes = platform_.read_file_start(*path, kPageUrlByteLimit + 1);
  if (!bytes) return std::nullopt;
  return page_url_from_file(*bytes);
}

void Supervisor::tick() {
  if (platform_.agent_exited()) {
    if (start_count_ >= kMaxAgentStarts) return;
    stop_everything();
    delete_page_url();
    ++start_count_;
    if (!start_agent()) return;
  }
  if (browser_opened_ && !open_requested_) return;
  // A missing or refused address leaves both flags as they are, so the next tick tries again.
  std::optional<std::string> url = read_page_url();
  if (!url) return;
  platform_.open_in_browser(*url);
  browser_opened_ = true;
  open_requested_ = false;
}

void Supervisor::open_request() {
  open_requested_ = true;
  tick();
}

void Supervisor::on_timer() { tick(); }

void Supervisor::on_tray_left_click() { open_request(); }

std::vector<MenuItem> Supervisor::tray_menu() {
  std::vector<MenuItem> menu;
  menu.push_back({kCommandOpen, "Open Tessaryn", false});
  if (std::optional<std::string> path = files().file(kVersionFile)) {
    if (std::optional<std::string> bytes = platform_.read_file_start(*path, kVersionByteLimit + 1)) {
      if (std::optional<std::string> version = version_from_file(*bytes)) {
        menu.push_back({kCommandVersion, *version, true});
      }
    }
  }
  menu.push_back({kCommandQuit, "Quit", false});
  return menu;
}

void Supervisor::on_command(int command) {
  if (command == kCommandOpen) {
    open_request();
  } else if (command == kCommandQuit) {
    platform_.destroy_tray_window();
  }
}

void Supervisor::on_destroy() { stop_everything(); }

}  // namespace tessaryn::launcher
