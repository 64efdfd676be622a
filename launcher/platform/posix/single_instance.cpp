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

std::optional<std::string> instance_folder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime);
  // Without a session folder the lock lives in /tmp, where another user could have planted the
  // folder first: it counts only if it is ours and closed to everyone else.
  std::string folder = "/tmp/tessaryn-" + std::to_string(getuid());
  mkdir(folder.c_str(), 0700);
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 077) != 0) {
    std::fprintf(stderr, "Tessaryn: %s is not a private folder of this user\n", folder.c_str());
    return std::nullopt;
  }
  return folder;
}

SingleInstance::~SingleInstance() { release(); }

bool SingleInstance::claim() {
  folder_ = instance_folder();
  if (!folder_) return false;
  std::string lock_path = *folder_ + kLockName;
  lock_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_ < 0 || flock(lock_, LOCK_EX | LOCK_NB) != 0) return false;

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
  return true;
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
