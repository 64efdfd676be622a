// The agent's process tree as the kernel's parent links show it, and how it is ended.
//
// The job holder is either the first process of a PID namespace of its own (the kernel kills every
// member when it dies, and every orphan of the tree is its child) or, where namespaces are refused,
// a child subreaper (every orphan of the tree is handed to it rather than to init). Either way a
// descendant can only live below a child of the holder: a holder with no child left has no tree.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace tessaryn::launcher::posix {

// Every living descendant of `root`, found through /proc (pids as this process's /proc shows
// them). Zombies are left out: they are dead already and wait only for their parent to collect them.
std::vector<pid_t> living_descendants(pid_t root);

struct TreeMember {
  pid_t pid;
  pid_t group;  // its process group
};
// The same, with each process's group.
std::vector<TreeMember> living_tree(pid_t root);

enum class HolderKind {
  kNamespaceInit,  // the first process of its own PID namespace
  kSubreaper,      // a child subreaper in the launcher's PID namespace
};

// Run by the holder on its own tree: kills every member and collects every child, round after
// round, until no child is left (a process that keeps forking is caught in a later round). A
// snapshot that shows no descendant proves nothing (a fork may land between the listing and the
// kill), an empty child list does. False when `limit` passed first (a process stuck in the kernel).
bool end_own_tree(HolderKind kind, std::chrono::milliseconds limit);

// From outside, for a holder that did not end its tree in time: kills the living descendants of
// `root` (not `root` itself) round after round until `limit`, or until a snapshot shows none.
void kill_descendants(pid_t root, std::chrono::milliseconds limit);

}  // namespace tessaryn::launcher::posix
