// The system calls the launcher's supervision rests on, one interface for every system. The rules
// (single instance, start count, tick, page address, stop sequence) live in the supervisor; a system
// supplies only these calls: platform/posix on POSIX, platform/windows on Windows, which maps each
// call onto the names given beside it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryn::launcher {

// Menu command identifiers; an open request posted by a second instance is the same command as the
// menu item.
inline constexpr int kCommandOpen = 1001;
inline constexpr int kCommandQuit = 1002;
inline constexpr int kCommandVersion = 1003;

struct MenuItem {
  int command;
  std::string text;  // UTF-8
  bool greyed;
};

// What the event loop hands back to the supervisor. Every call arrives on the one thread that runs
// the loop.
class LoopEvents {
 public:
  virtual ~LoopEvents() = default;
  virtual void on_timer() = 0;                   // the 400 ms timer (WM_TIMER, id 1)
  virtual void on_tray_left_click() = 0;         // tray callback with WM_LBUTTONUP
  virtual std::vector<MenuItem> tray_menu() = 0; // built fresh for each right click (WM_RBUTTONUP)
  virtual void on_command(int command) = 0;      // WM_COMMAND: a menu choice or a second instance
  virtual void on_destroy() = 0;                 // WM_DESTROY, after the tray icon was removed
};

// What claiming the per-user instance came to.
enum class InstanceState {
  kClaimed,        // this process is now the one copy
  kHeldElsewhere,  // another copy runs: hand it the open request
  kUnavailable,    // the instance cannot be had at all (its folder is unusable): nothing can run
};

struct InstanceClaim {
  InstanceState state = InstanceState::kUnavailable;
  // For kUnavailable, what is wrong, in words a desktop user can act on (UTF-8).
  std::string problem;
};

struct AgentLaunch {
  std::string program;            // full path of the agent program
  std::string working_directory;  // the program's folder
  // Files the agent's standard output and error are appended to; without them the agent inherits
  // the launcher's and its standard input is left alone too.
  std::optional<std::string> output_log;
  std::optional<std::string> error_log;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- single instance
  // Takes the per-user instance (CreateMutexW "Local\\Tessaryn", owned; a mutex that cannot be
  // created counts as held elsewhere there).
  virtual InstanceClaim claim_single_instance() = 0;
  // Asks the running copy to open the page (FindWindowW "TessarynTray", PostMessageW WM_COMMAND 1001);
  // nothing when it cannot be reached.
  virtual void forward_open_request() = 0;
  // CloseHandle of the mutex; called once after every claim, whatever it came to.
  virtual void release_single_instance() = 0;

  // --- places
  // The per-user data folder (%LOCALAPPDATA%), or none.
  virtual std::optional<std::string> data_root() = 0;
  virtual char path_separator() const = 0;
  // This program's folder with its trailing separator (GetModuleFileNameW cut after the last "\\").
  virtual std::optional<std::string> program_directory() = 0;
  virtual std::string agent_program_name() const = 0;  // "Tessaryn-agent.exe" on Windows

  // --- files
  virtual bool make_directory(const std::string& path) = 0;  // an existing folder is success
  // The first `max_bytes` bytes of a file, or none when it cannot be opened.
  virtual std::optional<std::string> read_file_start(const std::string& path, std::size_t max_bytes) = 0;
  virtual bool write_file(const std::string& path, std::string_view bytes) = 0;  // create or overwrite
  virtual bool append_file(const std::string& path, std::string_view bytes) = 0;  // create or append
  virtual void delete_file(const std::string& path) = 0;  // a missing file is fine
  virtual void sleep(std::chrono::milliseconds duration) = 0;

  // --- the agent and everything it starts
  // Makes the container that will hold the agent's whole process tree (CreateJobObjectW with only
  // JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE). False: no start is attempted.
  virtual bool create_agent_job() = 0;
  // Starts the agent inside the container before it can run a single instruction outside it
  // (CreateProcessW suspended, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, inherited standard
  // handles; AssignProcessToJobObject; ResumeThread). The log files are opened for appending and
  // closed again in the launcher whatever the outcome. False when the agent could not be started.
  virtual bool start_agent_in_job(const AgentLaunch& launch) = 0;
  // True when there is no agent process or it has ended (WaitForSingleObject with a zero timeout).
  virtual bool agent_exited() = 0;
  // Kills the container and every process in it, then forgets the agent (TerminateJobObject with
  // exit code 0, CloseHandle of the job and of the process). Nothing when there is none.
  virtual void end_agent_job() = 0;

  // --- browser
  virtual void open_in_browser(const std::string& url) = 0;  // ShellExecuteW "open", SW_SHOWNORMAL

  // --- tray and event loop
  // The application icon at the large and small sizes (LoadImageW of icon resource 1, shared).
  virtual bool load_icons() = 0;
  virtual void show_error(const std::string& text, const std::string& caption) = 0;  // MessageBoxW, MB_ICONERROR
  // The hidden window, the tray icon (tip "Tessaryn") and the tick timer every `tick`
  // (RegisterClassExW "TessarynTray", CreateWindowExW, WM_SETICON, Shell_NotifyIconW NIM_ADD,
  // SetTimer id 1). False when the window cannot be had.
  virtual bool create_tray_window(LoopEvents& events, std::chrono::milliseconds tick) = 0;
  // Runs until the window is destroyed (GetMessageW / DispatchMessageW until WM_QUIT).
  virtual void run_loop() = 0;
  // DestroyWindow: the tray icon goes first, then LoopEvents::on_destroy, then the loop is told to
  // end (PostQuitMessage).
  virtual void destroy_tray_window() = 0;
};

}  // namespace tessaryn::launcher
