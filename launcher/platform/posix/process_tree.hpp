// The agent's process tree as the kernel's parent links show it. The job holder is a child
// subreaper, so a descendant whose parent dies is handed to the holder rather than to init: every
// process the agent ever started stays reachable from the holder until it is killed.
#pragma once

#include <sys/types.h>

#include <vector>

namespace tessaryn::launcher::posix {

// Every living descendant of `root`, found through /proc. Zombies are left out: they are dead
// already and wait only for their parent to collect them.
std::vector<pid_t> living_descendants(pid_t root);

// Kills every descendant of `root` (not `root` itself) with SIGKILL, round after round, until none
// is left: a process may fork between the listing and the kill, and its child shows up in the next
// round. False when some survived all rounds (a process stuck in the kernel).
bool kill_descendants(pid_t root);

}  // namespace tessaryn::launcher::posix
