// Attributes for a child that must begin with default signal handling and nothing blocked,
// whatever the launcher's toolkit set up for its own thread.
#pragma once

#include <signal.h>
#include <spawn.h>

namespace tessaryn::launcher::posix {

class CleanSpawnAttributes {
 public:
  explicit CleanSpawnAttributes(short extra_flags = 0) {
    posix_spawnattr_init(&attributes_);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    posix_spawnattr_setflags(&attributes_, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                              extra_flags));
  }
  ~CleanSpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  CleanSpawnAttributes(const CleanSpawnAttributes&) = delete;
  CleanSpawnAttributes& operator=(const CleanSpawnAttributes&) = delete;

  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace tessaryn::launcher::posix
