// The launcher's platform on Linux desktops: a lock file and a local socket for the single instance,
// a job holder process for the agent's tree, xdg-open for the browser, a GLib main loop with a GTK
// tray icon when there is a display.
#pragma once

#include <optional>
#include <string>

#include "launcher/platform.hpp"
#include "launcher/platform/posix/job_holder.hpp"
#include "launcher/platform/posix/single_instance.hpp"
#include "launcher/platform/posix/tray.hpp"

typedef struct _GMainLoop GMainLoop;

namespace tessaryn::launcher::posix {

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() = default;
  ~PosixPlatform() override;

  InstanceClaim claim_single_instance() override;
  void forward_open_request() override;
  void release_single_instance() override;

  std::optional<std::string> data_root() override;
  char path_separator() const override { return '/'; }
  std::optional<std::string> program_directory() override;
  std::string agent_program_name() const override { return "Tessaryn-agent"; }

  bool make_directory(const std::string& path) override;
  std::optional<std::string> read_file_start(const std::string& path, std::size_t max_bytes) override;
  bool write_file(const std::string& path, std::string_view bytes) override;
  void delete_file(const std::string& path) override;
  bool append_file(const std::string& path, std::string_view bytes) override;
  void sleep(std::chrono::milliseconds duration) override;

  bool create_agent_job() override;
  bool start_agent_in_job(const AgentLaunch& launch) override;
  bool agent_exited() override;
  void end_agent_job() override;

  void open_in_browser(const std::string& url) override;

  bool load_icons() override;
  void show_error(const std::string& text, const std::string& caption) override;
  bool create_tray_window(LoopEvents& events, std::chrono::milliseconds tick) override;
  void run_loop() override;
  void destroy_tray_window() override;

 private:
  SingleInstance instance_;
  std::optional<HeldAgent> agent_;
  Tray tray_;
  LoopEvents* events_ = nullptr;
  GMainLoop* loop_ = nullptr;
  unsigned timer_source_ = 0;
  unsigned request_source_ = 0;
  unsigned signal_sources_[3] = {0, 0, 0};
  bool destroyed_ = false;
};

}  // namespace tessaryn::launcher::posix
