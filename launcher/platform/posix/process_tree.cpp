#include "launcher/platform/posix/process_tree.hpp"

#include <dirent.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace tessaryn::launcher::posix {

namespace {

struct ProcessEntry {
  pid_t parent = 0;
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
  if (std::sscanf(close + 1, " %c %d", &state, &parent) != 2) return false;
  entry.parent = parent;
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

std::vector<pid_t> living_descendants(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  std::map<pid_t, ProcessEntry> processes = all_processes();
  for (const auto& [pid, entry] : processes) children.emplace(entry.parent, pid);
  std::vector<pid_t> found;
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    pid_t parent = pending.back();
    pending.pop_back();
    auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      pending.push_back(it->second);
      if (processes[it->second].alive) found.push_back(it->second);
    }
  }
  return found;
}

bool kill_descendants(pid_t root) {
  constexpr int kRounds = 300;
  const timespec pause{0, 10 * 1000 * 1000};
  for (int round = 0; round < kRounds; ++round) {
    std::vector<pid_t> tree = living_descendants(root);
    if (tree.empty()) return true;
    for (pid_t pid : tree) kill(pid, SIGKILL);
    // Killed processes stay listed until the holder collects them; give it a moment.
    nanosleep(&pause, nullptr);
  }
  return living_descendants(root).empty();
}

}  // namespace tessaryn::launcher::posix
