#include "launcher/platform/posix/posix_platform.hpp"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "launcher/platform/posix/data_root.hpp"
#include "launcher/platform/posix/descriptor.hpp"
#include "launcher/platform/posix/spawn_attributes.hpp"

extern char** environ;

namespace tessaryn::launcher::posix {

namespace {

constexpr int kStopSignals[3] = {SIGTERM, SIGINT, SIGHUP};

// Opening never waits: a FIFO or device planted under a launcher file name must not hang the one
// thread that runs the tray.
int open_for_writing(const std::string& path, int extra_flags) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | extra_flags, 0644);
}

}  // namespace

PosixPlatform::~PosixPlatform() {
  if (agent_) end_held_agent(*agent_);
  if (loop_ != nullptr) g_main_loop_unref(loop_);
}

InstanceClaim PosixPlatform::claim_single_instance() { return instance_.claim(); }

void PosixPlatform::forward_open_request() { instance_.forward_open_request(); }

void PosixPlatform::release_single_instance() { instance_.release(); }

std::optional<std::string> PosixPlatform::data_root() { return data_root_from_environment(); }

std::optional<std::string> PosixPlatform::program_directory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::nullopt;
  std::string program(path, static_cast<std::size_t>(length));
  std::size_t slash = program.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return program.substr(0, slash + 1);
}

bool PosixPlatform::make_directory(const std::string& path) {
  // The XDG data folder need not exist on a fresh account, so missing parents are made too,
  // private to the user as the XDG rules ask.
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0700);
  }
  if (mkdir(path.c_str(), 0700) == 0) return true;
  struct stat info;
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> PosixPlatform::read_file_start(const std::string& path, std::size_t max_bytes) {
  int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return std::nullopt;
  struct stat info;
  if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(file);
    return std::nullopt;
  }
  std::string bytes(max_bytes, '\0');
  std::size_t filled = 0;
  while (filled < max_bytes) {
    ssize_t n = read(file, bytes.data() + filled, max_bytes - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  close(file);
  bytes.resize(filled);
  return bytes;
}

namespace {

bool write_all_and_close(int file, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(file, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return close(file) == 0 && written == bytes.size();
}

}  // namespace

bool PosixPlatform::write_file(const std::string& path, std::string_view bytes) {
  int file = open_for_writing(path, O_TRUNC);
  return file >= 0 && write_all_and_close(file, bytes);
}

bool PosixPlatform::append_file(const std::string& path, std::string_view bytes) {
  int file = open_for_writing(path, O_APPEND);
  return file >= 0 && write_all_and_close(file, bytes);
}

void PosixPlatform::delete_file(const std::string& path) { unlink(path.c_str()); }

void PosixPlatform::sleep(std::chrono::milliseconds duration) {
  // Slept to the end whatever signal arrives: the receivers' time to stop is not cut short.
  std::this_thread::sleep_for(duration);
}

bool PosixPlatform::create_agent_job() {
  // The holder process that plays the job is made together with the agent, in start_agent_in_job.
  return true;
}

bool PosixPlatform::start_agent_in_job(const AgentLaunch& launch) {
  Descriptor input, output, error;
  if (launch.output_log && launch.error_log) {
    input.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    output.reset(open_for_writing(*launch.output_log, O_APPEND));
    error.reset(open_for_writing(*launch.error_log, O_APPEND));
    // Only all three together replace the standard streams.
    if (!input.valid() || !output.valid() || !error.valid()) {
      input.reset();
      output.reset();
      error.reset();
    } else {
      // The log descriptors were opened without waiting; the agent expects ordinary blocking writes.
      fcntl(output.get(), F_SETFL, fcntl(output.get(), F_GETFL) & ~O_NONBLOCK);
      fcntl(error.get(), F_SETFL, fcntl(error.get(), F_GETFL) & ~O_NONBLOCK);
    }
  }
  agent_ = start_held_agent(launch.program, launch.working_directory, input.get(), output.get(), error.get());
  return agent_.has_value();
}

bool PosixPlatform::agent_exited() { return !agent_ || held_agent_ended(*agent_); }

void PosixPlatform::end_agent_job() {
  if (!agent_) return;
  end_held_agent(*agent_);
  agent_.reset();
}

void PosixPlatform::open_in_browser(const std::string& url) {
  // A session of its own, so that the browser xdg-open may start is no part of the launcher's
  // terminal job; reaped through GLib, which waits for this process only.
  const CleanSpawnAttributes attributes(POSIX_SPAWN_SETSID);
  char opener[] = "xdg-open";
  char* argv[] = {opener, const_cast<char*>(url.c_str()), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, opener, nullptr, attributes.get(), argv, environ);
  if (spawned != 0) {
    std::fprintf(stderr, "Tessaryn: cannot run xdg-open: %s\n", std::strerror(spawned));
    return;
  }
  g_child_watch_add(pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
}

bool PosixPlatform::load_icons() { return tray_.load_icons(); }

void PosixPlatform::show_error(const std::string& text, const std::string& caption) {
  tray_.show_error(text, caption);
}

bool PosixPlatform::create_tray_window(LoopEvents& events, std::chrono::milliseconds tick) {
  events_ = &events;
  loop_ = g_main_loop_new(nullptr, FALSE);
  if (loop_ == nullptr) return false;
  timer_source_ = g_timeout_add(
      static_cast<guint>(tick.count()),
      [](gpointer self) -> gboolean {
        static_cast<PosixPlatform*>(self)->events_->on_timer();
        return G_SOURCE_CONTINUE;
      },
      this);
  if (instance_.request_socket() >= 0) {
    request_source_ = g_unix_fd_add(
        instance_.request_socket(), G_IO_IN,
        [](gint, GIOCondition, gpointer self) -> gboolean {
          auto* platform = static_cast<PosixPlatform*>(self);
          if (platform->instance_.accept_request()) platform->events_->on_command(kCommandOpen);
          return G_SOURCE_CONTINUE;
        },
        this);
  }
  // A stop signal is the session ending or the user quitting from a terminal: the same orderly stop
  // as the menu's Quit.
  for (int i = 0; i < 3; ++i) {
    signal_sources_[i] = g_unix_signal_add(
        kStopSignals[i],
        [](gpointer self) -> gboolean {
          static_cast<PosixPlatform*>(self)->destroy_tray_window();
          return G_SOURCE_CONTINUE;
        },
        this);
  }
  tray_.show(events);
  return true;
}

void PosixPlatform::run_loop() {
  if (loop_ != nullptr && !destroyed_) g_main_loop_run(loop_);
}

void PosixPlatform::destroy_tray_window() {
  if (destroyed_) return;
  destroyed_ = true;
  tray_.remove();
  // No tick or request may run once the stop sequence has begun.
  for (unsigned* source : {&timer_source_, &request_source_}) {
    if (*source != 0) g_source_remove(*source);
    *source = 0;
  }
  if (events_ != nullptr) events_->on_destroy();
  if (loop_ != nullptr) g_main_loop_quit(loop_);
}

}  // namespace tessaryn::launcher::posix
