// The POSIX stand-in for the Windows job object: a small process, this very program started again
// with kJobHolderArgument, that starts the agent and holds its whole process tree.
//
// The holder is a child subreaper, so whatever the agent starts stays below the holder even when an
// intermediate process dies or detaches. It is its own session, so a terminal's Ctrl+C reaches the
// launcher (which stops in order) and not the agent tree directly. It dies with the launcher and
// then kills the tree itself, as closing the last job handle does on Windows. The launcher itself is
// no subreaper: the browsers that xdg-open starts must not become part of the agent's tree.
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

// The holder's main: `<program> --agent-job-holder <launcher pid> <report descriptor> <agent path>`.
int run_job_holder(int argc, char** argv);

struct HeldAgent {
  pid_t holder = -1;
  int report = -1;  // read end of the report pipe, non-blocking
  bool ended = false;
};

// Starts a holder for `program` in `working_directory`; the three descriptors, when given, become
// the standard input, output and error of holder and agent. None when the agent did not start; the
// holder is gone again by then.
std::optional<HeldAgent> start_held_agent(const std::string& program, const std::string& working_directory,
                                          int input, int output, int error);

// True once the agent has ended (or its holder has vanished).
bool held_agent_ended(HeldAgent& held);

// Kills the agent's whole tree, then the holder, and collects the holder.
void end_held_agent(HeldAgent& held);

}  // namespace tessaryn::launcher::posix
