#include "launcher/platform/posix/job_holder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/platform/posix/process_tree.hpp"
#include "launcher/platform/posix/spawn_attributes.hpp"

extern char** environ;

namespace tessaryn::launcher::posix {

namespace {

// Where the holder finds its end of the report pipe.
constexpr int kHolderReportDescriptor = 3;
// Descriptors handed to the holder are first moved above the ones posix_spawn places, so that no
// dup2 onto itself keeps its close-on-exec flag.
constexpr int kSpareDescriptorFloor = 10;
// How long the launcher waits for the holder to say whether the agent runs. Starting is quick; the
// limit only guards against a holder that hangs.
constexpr int kStartReportTimeoutMs = 10000;

bool write_byte(int descriptor, char byte) {
  for (;;) {
    ssize_t n = write(descriptor, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

int moved_up(int descriptor) {
  if (descriptor < 0) return -1;
  return fcntl(descriptor, F_DUPFD_CLOEXEC, kSpareDescriptorFloor);
}

void close_if_open(int descriptor) {
  if (descriptor >= 0) close(descriptor);
}

}  // namespace

int run_job_holder(int argc, char** argv) {
  if (argc != 5) return 2;
  const pid_t launcher = static_cast<pid_t>(std::atol(argv[2]));
  const int report = std::atoi(argv[3]);
  const char* program = argv[4];
  fcntl(report, F_SETFD, FD_CLOEXEC);

  // Die with the launcher, and notice if it is gone already.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != launcher) return 1;
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  setsid();

  // Every signal the holder acts on is taken synchronously, so none can slip in between a check and
  // the wait that follows it.
  sigset_t waited, previous;
  sigemptyset(&waited);
  for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&waited, s);
  sigprocmask(SIG_BLOCK, &waited, &previous);

  int exec_check[2];
  if (pipe2(exec_check, O_CLOEXEC) != 0) {
    write_byte(report, kReportFailed);
    return 1;
  }
  pid_t agent = fork();
  if (agent < 0) {
    write_byte(report, kReportFailed);
    return 1;
  }
  if (agent == 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    char* agent_argv[] = {const_cast<char*>(program), nullptr};
    execv(program, agent_argv);
    int error = errno;
    ssize_t ignored = write(exec_check[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(exec_check[1]);
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(exec_check[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(exec_check[0]);
  if (got > 0) {
    std::fprintf(stderr, "Tessaryn: cannot start %s: %s\n", program, std::strerror(exec_error));
    waitpid(agent, nullptr, 0);
    write_byte(report, kReportFailed);
    return 1;
  }
  write_byte(report, kReportStarted);

  for (;;) {
    siginfo_t info;
    int signal_number = sigwaitinfo(&waited, &info);
    if (signal_number < 0) continue;
    if (signal_number == SIGCHLD) {
      // Orphans of the agent's tree are this process's children too; collect them all.
      int status;
      pid_t done;
      while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
        if (done == agent) write_byte(report, kReportEnded);
      }
      continue;
    }
    // The launcher is gone, or someone asked the holder to end: nothing may outlive it.
    kill_descendants(getpid());
    return 0;
  }
}

std::optional<HeldAgent> start_held_agent(const std::string& program, const std::string& working_directory,
                                          int input, int output, int error) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return std::nullopt;
  int report_read = pipe_ends[0];
  int report_write = moved_up(pipe_ends[1]);
  close(pipe_ends[1]);
  int standard[3] = {moved_up(input), moved_up(output), moved_up(error)};
  const bool redirect = input >= 0 && output >= 0 && error >= 0 && standard[0] >= 0 && standard[1] >= 0 &&
                        standard[2] >= 0;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (redirect) {
    for (int target = 0; target < 3; ++target) posix_spawn_file_actions_adddup2(&actions, standard[target], target);
  }
  if (report_write >= 0) posix_spawn_file_actions_adddup2(&actions, report_write, kHolderReportDescriptor);
  posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());

  const CleanSpawnAttributes attributes;

  std::string launcher_pid = std::to_string(getpid());
  std::string report_argument = std::to_string(kHolderReportDescriptor);
  char self[] = "/proc/self/exe";
  char* holder_argv[] = {self, const_cast<char*>(kJobHolderArgument), launcher_pid.data(), report_argument.data(),
                         const_cast<char*>(program.c_str()), nullptr};
  pid_t holder = -1;
  int spawned = report_write >= 0 ? posix_spawn(&holder, self, &actions, attributes.get(), holder_argv, environ) : -1;
  posix_spawn_file_actions_destroy(&actions);
  close_if_open(report_write);
  for (int descriptor : standard) close_if_open(descriptor);
  if (spawned != 0) {
    close(report_read);
    return std::nullopt;
  }

  HeldAgent held{holder, report_read, false};
  pollfd wait_for{report_read, POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait_for, 1, kStartReportTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  char first = 0;
  if (ready == 1 && read(report_read, &first, 1) == 1 && first == kReportStarted) {
    fcntl(report_read, F_SETFL, fcntl(report_read, F_GETFL) | O_NONBLOCK);
    return held;
  }
  end_held_agent(held);
  return std::nullopt;
}

bool held_agent_ended(HeldAgent& held) {
  if (held.report < 0) return true;
  while (!held.ended) {
    char byte;
    ssize_t n = read(held.report, &byte, 1);
    if (n == 1) {
      if (byte == kReportEnded) held.ended = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // End of the pipe: the holder itself is gone, and the agent with it.
    held.ended = true;
  }
  return held.ended;
}

void end_held_agent(HeldAgent& held) {
  if (held.holder > 0) {
    // The tree first: while the holder lives, every orphan is its child and can be found.
    kill_descendants(held.holder);
    kill(held.holder, SIGKILL);
    while (waitpid(held.holder, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close_if_open(held.report);
  held = HeldAgent{};
}

}  // namespace tessaryn::launcher::posix
