// The launcher's whole behaviour, written once over the platform interface: one copy per user, the
// agent kept alive for at most three starts, its page opened when it announces it, and an orderly
// stop that lets the receivers publish their last status before the agent's tree is killed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "launcher/launcher_files.hpp"
#include "launcher/platform.hpp"

namespace tessaryn::launcher {

inline constexpr std::chrono::milliseconds kTickPeriod{400};
inline constexpr std::chrono::milliseconds kStopWait{800};
// The first start and two restarts. A failed start counts, so an agent that cannot run does not
// keep the launcher starting it.
inline constexpr int kMaxAgentStarts = 3;
inline constexpr std::string_view kStopRequestText = "stop\n";

class Supervisor final : public LoopEvents {
 public:
  explicit Supervisor(Platform& platform);

  // Start to exit; the process exit code.
  int run();

  // One supervision step: restart a dead agent while starts remain, then open the page if it is due.
  void tick();
  // An explicit request to open the page (tray click, menu, second instance).
  void open_request();
  // Asks both receivers to stop, gives them time to publish their last status, then ends the agent
  // and everything it started.
  void stop_everything();
  // True when the agent runs; on a failure after the process was tried, everything is stopped.
  bool start_agent();

  int start_count() const { return start_count_; }
  bool browser_opened() const { return browser_opened_; }
  bool open_requested() const { return open_requested_; }

  // LoopEvents
  void on_timer() override;
  void on_tray_left_click() override;
  std::vector<MenuItem> tray_menu() override;
  void on_command(int command) override;
  void on_destroy() override;

 private:
  LauncherFiles files();
  int run_claimed();
  // A launch that cannot run at all says why where a desktop user looks: standard error and a
  // dialog (show_error), and the launcher's error log when its folder can be had.
  void report_unusable(const std::string& problem);
  void delete_page_url();
  std::optional<std::string> read_page_url();

  Platform& platform_;
  int start_count_ = 0;
  bool browser_opened_ = false;
  bool open_requested_ = false;
};

}  // namespace tessaryn::launcher
