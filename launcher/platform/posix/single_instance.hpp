// One launcher per user desktop: a lock on a per-user file plays the part of the named mutex, and a
// local socket beside it the part of the window a second copy posts its open request to.
#pragma once

#include <optional>
#include <string>

#include "launcher/platform.hpp"

namespace tessaryn::launcher::posix {

// The folder of the lock and the socket: $XDG_RUNTIME_DIR (the user's desktop session) when it is
// an absolute path, else /tmp/tessaryn-<uid>, made private to the user. No path, and what is
// wrong, when that folder is missing or not safely the user's own.
struct InstanceFolder {
  std::optional<std::string> path;
  std::string problem;  // why there is none, for the user
};
InstanceFolder instance_folder();

class SingleInstance {
 public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // kClaimed when this process now holds the instance. The lock goes with the process, so a copy
  // that crashed never blocks the next one. kUnavailable when the lock cannot even be tried (a
  // missing, read-only or foreign folder): that is no second copy, and must not pass for one.
  InstanceClaim claim();
  // Connects to the running copy's socket; the connection itself is the open request.
  void forward_open_request();
  void release();

  // The listening socket of the instance holder, or -1. Each connection a same-user peer makes is
  // one open request.
  int request_socket() const { return socket_; }
  // Takes one pending connection; true when it came from a process of this user.
  bool accept_request();

 private:
  std::optional<std::string> folder_;
  int lock_ = -1;
  int socket_ = -1;
};

}  // namespace tessaryn::launcher::posix
