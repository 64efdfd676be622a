// The POSIX stand-in for the Windows job object: a small process, this very program started again
// with kJobHolderArgument, that starts the agent and holds its whole process tree.
//
// Where the system allows it the holder is the first process of a PID namespace of its own: the
// kernel then kills every member of the tree the moment the holder dies, however it dies (the
// launcher killed outright, the holder killed by hand, the launcher and the holder killed
// together), and no member can kill the holder, which ignores every signal its tree may send it but
// the one it waits for. A user namespace comes with it when the user has no privilege for a PID
// namespace alone (an ordinary desktop user); the user's own ids are mapped onto themselves, so the
// tree keeps its uid and gid. Where both are refused (a sandbox, a locked-down kernel) the holder is
// a child subreaper instead: whatever the agent starts stays below it, and it kills the tree when it
// is told to or when the launcher dies, but a holder killed outright leaves the tree behind.
//
// Either way the holder is its own session, so a terminal's Ctrl+C reaches the launcher (which stops
// in order) and not the agent tree directly, and it dies with the launcher. The launcher itself
// contains nothing: the browsers that xdg-open starts must not become part of the agent's tree.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tessaryn::launcher::posix {

inline constexpr const char* kJobHolderArgument = "--agent-job-holder";

// One byte per event on the report pipe, from the holder to the launcher.
inline constexpr char kReportStarted = 'S';  // the agent program is running
inline constexpr char kReportFailed = 'F';   // the agent program could not be executed
inline constexpr char kReportEnded = 'E';    // the agent process has ended

// How the agent's tree is held, best first.
enum class Containment {
  kPidNamespace,      // a PID namespace (the launcher may make one itself)
  kUserPidNamespace,  // a user namespace with a PID namespace in it (an unprivileged user)
  kSubreaper,         // no namespace: a subreaper in the launcher's own PID namespace
};

// The holder's main:
// `<program> --agent-job-holder <launcher pid> <report descriptor> <containment> <agent path>`.
int run_job_holder(int argc, char** argv);

struct HeldAgent {
  pid_t holder = -1;  // as the launcher sees it
  int report = -1;    // read end of the report pipe, non-blocking
  bool ended = false;
  Containment containment = Containment::kSubreaper;
};

// Starts a holder for `program` in `working_directory`, in the best containment the system allows;
// the three descriptors, when given, become the standard input, output and error of holder and
// agent. None when the agent did not start; the holder is gone again by then.
std::optional<HeldAgent> start_held_agent(const std::string& program, const std::string& working_directory,
                                          int input, int output, int error);

// True once the agent has ended (or its holder has vanished).
bool held_agent_ended(HeldAgent& held);

// Has the holder kill and collect the agent's whole tree, then collects the holder. Bounded in
// time: a holder that does not finish is killed, its tree with it.
void end_held_agent(HeldAgent& held);

}  // namespace tessaryn::launcher::posix
