#include "launcher/platform/posix/process_tree.hpp"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace tessaryn::launcher::posix {

namespace {

struct ProcessEntry {
  pid_t parent = 0;
  pid_t group = 0;
  bool alive = false;
};

// /proc/<pid>/stat is "pid (command) state parent ...", and the command may hold spaces and
// parentheses itself, so the fields are taken after the last ')'.
bool read_stat(pid_t pid, ProcessEntry& entry) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char buffer[1024];
  std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[length] = '\0';
  char* close = std::strrchr(buffer, ')');
  if (close == nullptr) return false;
  char state = 0;
  int parent = 0;
  int group = 0;
  if (std::sscanf(close + 1, " %c %d %d", &state, &parent, &group) != 3) return false;
  entry.parent = parent;
  entry.group = group;
  entry.alive = state != 'Z' && state != 'X' && state != 'x';
  return true;
}

std::map<pid_t, ProcessEntry> all_processes() {
  std::map<pid_t, ProcessEntry> processes;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return processes;
  while (dirent* item = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(item->d_name, &end, 10);
    if (end == item->d_name || *end != '\0' || pid <= 0) continue;
    ProcessEntry entry;
    if (read_stat(static_cast<pid_t>(pid), entry)) processes[static_cast<pid_t>(pid)] = entry;
  }
  closedir(proc);
  return processes;
}

}  // namespace

std::vector<TreeMember> living_tree(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  std::map<pid_t, ProcessEntry> processes = all_processes();
  for (const auto& [pid, entry] : processes) children.emplace(entry.parent, pid);
  std::vector<TreeMember> found;
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    pid_t parent = pending.back();
    pending.pop_back();
    auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      pending.push_back(it->second);
      const ProcessEntry& entry = processes[it->second];
      if (entry.alive) found.push_back({it->second, entry.group});
    }
  }
  return found;
}

std::vector<pid_t> living_descendants(pid_t root) {
  std::vector<pid_t> pids;
  for (const TreeMember& member : living_tree(root)) pids.push_back(member.pid);
  return pids;
}

namespace {

constexpr std::chrono::milliseconds kRoundPause{10};

// Collects every child that has ended; false once the holder has no child at all.
bool has_children_after_reaping() {
  for (;;) {
    const pid_t done = waitpid(-1, nullptr, WNOHANG);
    if (done > 0) continue;
    if (done == 0) return true;
    if (errno == EINTR) continue;
    return errno != ECHILD;
  }
}

}  // namespace

bool end_own_tree(HolderKind kind, std::chrono::milliseconds limit) {
  // Outside a namespace of its own, -1 would reach every process of the user (or the system).
  if (kind == HolderKind::kNamespaceInit && getpid() != 1) return false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (kind == HolderKind::kNamespaceInit) {
      // Inside its own namespace every other process is a member of the tree; -1 reaches them all
      // and nothing outside.
      kill(-1, SIGKILL);
    } else {
      // A process that keeps forking a successor and exiting is always gone by the time its number
      // is read and killed; its process group stays, and a group signal reaches every member at
      // once. Every group met below the holder lies in the holder's session or in a session one
      // of its descendants made, so it holds no process from outside the tree; only the holder's
      // own group is left to single kills.
      const pid_t own_group = getpgrp();
      std::set<pid_t> groups;
      for (const TreeMember& member : living_tree(getpid())) {
        kill(member.pid, SIGKILL);
        if (member.group > 0 && member.group != own_group) groups.insert(member.group);
      }
      for (pid_t group : groups) kill(-group, SIGKILL);
    }
    if (!has_children_after_reaping()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Killed processes become collectable a moment later.
    std::this_thread::sleep_for(kRoundPause);
  }
}

void kill_descendants(pid_t root, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<pid_t> tree = living_descendants(root);
    if (tree.empty()) return;
    for (pid_t pid : tree) kill(pid, SIGKILL);
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(kRoundPause);
  }
}

}  // namespace tessaryn::launcher::posix
