// The launcher's platform on Windows: a named mutex, a job object that kills the agent's tree when
// it closes, the shell for the browser and the tray, and one hidden window for the tray and timer
// messages. Paths cross the interface as UTF-8 and reach the system as UTF-16.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "launcher/platform.hpp"

namespace tessaryn::launcher::windows {

inline constexpr wchar_t kWindowClass[] = L"TessarynTray";
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT_PTR kTickTimerId = 1;
inline constexpr int kIconResource = 1;

std::wstring wide_from_utf8(std::string_view text);
std::string utf8_from_wide(std::wstring_view text);

// The tray's popup menu for `items`, every text shown as written; null when no menu can be made.
// The caller destroys it.
HMENU create_tray_menu(const std::vector<MenuItem>& items);

class WindowsPlatform final : public Platform {
 public:
  explicit WindowsPlatform(HINSTANCE instance) : instance_(instance) {}
  ~WindowsPlatform() override;

  InstanceClaim claim_single_instance() override;
  void forward_open_request() override;
  void release_single_instance() override;

  std::optional<std::string> data_root() override;
  char path_separator() const override { return '\\'; }
  std::optional<std::string> program_directory() override;
  std::string agent_program_name() const override { return "Tessaryn-agent.exe"; }

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
  static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void show_tray_menu();
  void remove_tray_icon();

  HINSTANCE instance_;
  HANDLE mutex_ = nullptr;
  HANDLE job_ = nullptr;
  HANDLE agent_ = nullptr;
  HICON large_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  HWND window_ = nullptr;
  bool tray_icon_added_ = false;
  LoopEvents* events_ = nullptr;
};

}  // namespace tessaryn::launcher::windows
