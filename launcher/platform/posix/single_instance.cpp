#include "launcher/platform/posix/single_instance.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessaryn::launcher::posix {

namespace {

constexpr const char* kLockName = "/Tessaryn.lock";
constexpr const char* kSocketName = "/Tessaryn.socket";

bool socket_address(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

InstanceFolder instance_folder() {
  // A relative value is no session folder at all (the XDG rules say to ignore it).
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    // The session manager makes this folder; one that is missing or no folder means the session is
    // broken, and a made-up replacement would split the single instance in two.
    struct stat info;
    if (stat(runtime, &info) != 0) {
      return {std::nullopt, std::string("the session folder ") + runtime + " (XDG_RUNTIME_DIR) cannot be used: " +
                                std::strerror(errno)};
    }
    if (!S_ISDIR(info.st_mode)) {
      return {std::nullopt, std::string("the session folder ") + runtime + " (XDG_RUNTIME_DIR) is not a folder"};
    }
    return {std::string(runtime), {}};
  }
  // Without a session folder the lock lives in /tmp, where another user could have planted the
  // folder first: it counts only if it is ours and closed to everyone else.
  std::string folder = "/tmp/tessaryn-" + std::to_string(getuid());
  mkdir(folder.c_str(), 0700);
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    return {std::nullopt, folder + " cannot be made: " + std::strerror(errno)};
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
    return {std::nullopt, folder + " is not a private folder of this user (another user may have made it); "
                                   "remove it, or start Tessaryn in a desktop session that sets XDG_RUNTIME_DIR"};
  }
  return {folder, {}};
}

SingleInstance::~SingleInstance() { release(); }

InstanceClaim SingleInstance::claim() {
  InstanceFolder found = instance_folder();
  if (!found.path) return {InstanceState::kUnavailable, found.problem};
  folder_ = found.path;
  std::string lock_path = *folder_ + kLockName;
  lock_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (lock_ < 0) {
    return {InstanceState::kUnavailable, "the lock file " + lock_path + " cannot be opened: " + std::strerror(errno)};
  }
  if (flock(lock_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return {InstanceState::kHeldElsewhere, {}};
    return {InstanceState::kUnavailable, "the lock file " + lock_path + " cannot be locked: " + std::strerror(errno)};
  }

  // Holding the lock, no other copy can be binding the socket: a leftover one is stale.
  std::string socket_path = *folder_ + kSocketName;
  sockaddr_un address;
  if (socket_address(socket_path, address)) {
    unlink(socket_path.c_str());
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ >= 0 && (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                         listen(socket_, 8) != 0)) {
      close(socket_);
      socket_ = -1;
    }
  }
  return {InstanceState::kClaimed, {}};
}

void SingleInstance::forward_open_request() {
  if (!folder_) return;
  sockaddr_un address;
  if (!socket_address(*folder_ + kSocketName, address)) return;
  int peer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (peer < 0) return;
  connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address);
  close(peer);
}

bool SingleInstance::accept_request() {
  int peer = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
  if (peer < 0) return false;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  bool ours = getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.uid == getuid();
  close(peer);
  return ours;
}

void SingleInstance::release() {
  if (socket_ >= 0) {
    unlink((*folder_ + kSocketName).c_str());
    close(socket_);
    socket_ = -1;
  }
  if (lock_ >= 0) {
    close(lock_);
    lock_ = -1;
  }
}

}  // namespace tessaryn::launcher::posix
