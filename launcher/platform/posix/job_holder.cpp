#include "launcher/platform/posix/job_holder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "launcher/platform/posix/descriptor.hpp"
#include "launcher/platform/posix/process_tree.hpp"
#include "launcher/platform/posix/spawn_attributes.hpp"

extern char** environ;

namespace tessaryn::launcher::posix {

namespace {

using std::chrono::milliseconds;

// Where the holder finds its end of the report pipe.
constexpr int kHolderReportDescriptor = 3;
// Descriptors handed to the holder are first moved above the ones placed for it, so that no dup2
// onto itself keeps its close-on-exec flag.
constexpr int kSpareDescriptorFloor = 10;
// How long the launcher waits for the holder to say whether the agent runs. Starting is quick; the
// limit only guards against a holder that hangs.
constexpr milliseconds kStartReportTimeout{10000};
// How long the holder keeps killing and collecting its tree, and how long the launcher gives it
// before it kills the holder itself.
constexpr milliseconds kTreeEndLimit{5000};
constexpr milliseconds kHolderEndLimit = kTreeEndLimit + milliseconds{2000};
constexpr milliseconds kHolderPollPause{10};

constexpr std::string_view kNamespaceArgument = "namespace";
constexpr std::string_view kSubreaperArgument = "subreaper";

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

// A closed reading end shows on the writing end as an error: the launcher is gone.
bool reader_gone(int write_end) {
  pollfd check{write_end, 0, 0};
  return poll(&check, 1, 0) == 1 && (check.revents & (POLLERR | POLLHUP)) != 0;
}

bool write_text(const std::string& path, const std::string& text) {
  const int file = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (file < 0) return false;
  const bool whole = write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(file) == 0 && whole;
}

// The launcher's own ids, mapped onto themselves in the new user namespace: the tree keeps the
// user's uid and gid, and holds no privilege beyond the user's.
bool map_own_ids(pid_t child) {
  const std::string proc = "/proc/" + std::to_string(child);
  const std::string uid = std::to_string(geteuid());
  const std::string gid = std::to_string(getegid());
  return write_text(proc + "/setgroups", "deny") && write_text(proc + "/uid_map", uid + " " + uid + " 1\n") &&
         write_text(proc + "/gid_map", gid + " " + gid + " 1\n");
}

// What the holder is started with, prepared before any process is made.
struct HolderStart {
  char* const* argv;
  const char* working_directory;
  const int* standard;  // three descriptors, or null to leave the launcher's
  int report_write;
};

[[noreturn]] void become_holder(const HolderStart& start, int go_read) {
  // Between the copy of the launcher and exec only async-signal-safe calls: the launcher may have
  // other threads, whose locks this copy holds without their owners.
  if (go_read >= 0) {
    char go = 0;
    ssize_t got;
    do {
      got = read(go_read, &go, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1 || go != 'G') _exit(127);
  }
  if (start.standard != nullptr) {
    for (int target = 0; target < 3; ++target) {
      if (dup2(start.standard[target], target) < 0) _exit(127);
    }
  }
  if (dup2(start.report_write, kHolderReportDescriptor) < 0) _exit(127);
  if (chdir(start.working_directory) != 0) _exit(127);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) {
    if (s != SIGKILL && s != SIGSTOP) sigaction(s, &default_action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve("/proc/self/exe", start.argv, environ);
  _exit(127);
}

// The holder as the first process of a new PID namespace (with a user namespace around it when
// asked), or -1 when the system refuses.
pid_t spawn_in_namespace(const HolderStart& start, bool with_user_namespace) {
  Descriptor go_read, go_write;
  if (with_user_namespace) {
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) return -1;
    go_read.reset(go[0]);
    go_write.reset(go[1]);
  }
  clone_args args{};
  args.flags = CLONE_NEWPID | (with_user_namespace ? CLONE_NEWUSER : 0);
  args.exit_signal = SIGCHLD;
  const long pid = syscall(SYS_clone3, &args, sizeof args);
  if (pid == 0) become_holder(start, go_read.get());
  go_read.reset();
  if (pid < 0) return -1;
  const auto child = static_cast<pid_t>(pid);
  if (with_user_namespace) {
    // The child waits for its ids before it runs anything: unmapped, it would be nobody.
    const bool mapped = map_own_ids(child) && write_byte(go_write.get(), 'G');
    go_write.reset();
    if (!mapped) {
      kill(child, SIGKILL);
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
  }
  return child;
}

pid_t spawn_as_subreaper(const HolderStart& start) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (start.standard != nullptr) {
    for (int target = 0; target < 3; ++target) posix_spawn_file_actions_adddup2(&actions, start.standard[target], target);
  }
  posix_spawn_file_actions_adddup2(&actions, start.report_write, kHolderReportDescriptor);
  posix_spawn_file_actions_addchdir_np(&actions, start.working_directory);
  const CleanSpawnAttributes attributes;
  char self[] = "/proc/self/exe";
  pid_t holder = -1;
  const int spawned = posix_spawn(&holder, self, &actions, attributes.get(), start.argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? holder : -1;
}

void collect(pid_t child) {
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// True once `child` has ended and been collected within `limit`.
bool collected_within(pid_t child, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(child, nullptr, WNOHANG);
    if (done == child || (done < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kHolderPollPause);
  }
}

}  // namespace

int run_job_holder(int argc, char** argv) {
  if (argc != 6) return 2;
  const pid_t launcher = static_cast<pid_t>(std::atol(argv[2]));
  const int report = std::atoi(argv[3]);
  const std::string_view containment = argv[4];
  const char* program = argv[5];
  fcntl(report, F_SETFD, FD_CLOEXEC);

  // Which holder this is comes from the launcher, and is checked: only the first process of a
  // namespace may end its tree by signalling every process it can see.
  HolderKind kind;
  if (containment == kNamespaceArgument && getpid() == 1) {
    kind = HolderKind::kNamespaceInit;
  } else if (containment == kSubreaperArgument) {
    kind = HolderKind::kSubreaper;
  } else {
    write_byte(report, kReportFailed);
    return 2;
  }

  // Die with the launcher, and notice if it is gone already. From inside a namespace the parent
  // has no number; the report pipe tells in both cases.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (reader_gone(report)) return 1;
  if (kind == HolderKind::kSubreaper) {
    if (getppid() != launcher) return 1;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  setsid();

  // Every signal the holder acts on is taken synchronously, so none can slip in between a check and
  // the wait that follows it. As the first process of a namespace the holder receives from its own
  // tree only signals it blocks or handles: these four, and nothing that could kill it.
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
    // A group of its own, apart from the holder's: the whole group can then be ended at once.
    setpgid(0, 0);
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
    collect(agent);
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
    if (!end_own_tree(kind, kTreeEndLimit)) {
      std::fprintf(stderr, "Tessaryn: some of the agent's processes would not end\n");
    }
    return 0;
  }
}

std::optional<HeldAgent> start_held_agent(const std::string& program, const std::string& working_directory,
                                          int input, int output, int error) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return std::nullopt;
  Descriptor report_read(pipe_ends[0]);
  const Descriptor report_write(moved_up(pipe_ends[1]));
  close(pipe_ends[1]);
  const Descriptor moved[3] = {Descriptor(moved_up(input)), Descriptor(moved_up(output)),
                               Descriptor(moved_up(error))};
  const int standard[3] = {moved[0].get(), moved[1].get(), moved[2].get()};
  const bool redirect = input >= 0 && output >= 0 && error >= 0 && standard[0] >= 0 && standard[1] >= 0 &&
                        standard[2] >= 0;

  // Everything the holder's start needs is made here, before any copy of this process exists.
  std::string launcher_pid = std::to_string(getpid());
  std::string report_argument = std::to_string(kHolderReportDescriptor);
  std::string namespace_argument(kNamespaceArgument);
  std::string subreaper_argument(kSubreaperArgument);
  char self[] = "/proc/self/exe";
  constexpr std::size_t kContainmentSlot = 4;
  char* holder_argv[] = {self,
                         const_cast<char*>(kJobHolderArgument),
                         launcher_pid.data(),
                         report_argument.data(),
                         namespace_argument.data(),
                         const_cast<char*>(program.c_str()),
                         nullptr};
  HolderStart start{holder_argv, working_directory.c_str(), redirect ? standard : nullptr, report_write.get()};

  pid_t holder = -1;
  Containment containment = Containment::kPidNamespace;
  if (report_write.valid()) {
    holder = spawn_in_namespace(start, false);
    if (holder < 0) {
      containment = Containment::kUserPidNamespace;
      holder = spawn_in_namespace(start, true);
    }
    if (holder < 0) {
      containment = Containment::kSubreaper;
      holder_argv[kContainmentSlot] = subreaper_argument.data();
      holder = spawn_as_subreaper(start);
      std::fprintf(stderr,
                   "Tessaryn: this system allows no PID namespace; the agent's processes are held by a "
                   "subreaper, which a kill of the holder itself would leave behind\n");
    }
  }
  if (holder < 0) return std::nullopt;

  // The holder has its own copies now; the launcher's ends close on the way out.
  HeldAgent held{holder, report_read.release(), false, containment};
  pollfd wait_for{held.report, POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait_for, 1, static_cast<int>(kStartReportTimeout.count()));
  } while (ready < 0 && errno == EINTR);
  char first = 0;
  if (ready == 1 && read(held.report, &first, 1) == 1 && first == kReportStarted) {
    fcntl(held.report, F_SETFL, fcntl(held.report, F_GETFL) | O_NONBLOCK);
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
    // The holder ends its own tree: it alone sees every member (its namespace, or the orphans it
    // collects as a subreaper) and can tell by its empty child list that nothing is left.
    kill(held.holder, SIGTERM);
    if (!collected_within(held.holder, kHolderEndLimit)) {
      // A holder that hangs: the tree from here while the holder still links it, then the holder
      // (whose death ends a namespace's members too).
      kill_descendants(held.holder, kTreeEndLimit);
      kill(held.holder, SIGKILL);
      collect(held.holder);
    }
  }
  close_if_open(held.report);
  held = HeldAgent{};
}

}  // namespace tessaryn::launcher::posix
