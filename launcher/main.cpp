// Tessaryn: the tray program that keeps the agent running and opens its page.
#include <cstring>

#include "launcher/platform/posix/job_holder.hpp"
#include "launcher/platform/posix/posix_platform.hpp"
#include "launcher/supervisor.hpp"

int main(int argc, char** argv) {
  // The same program, started again by itself, holds the agent's process tree.
  if (argc >= 2 && std::strcmp(argv[1], tessaryn::launcher::posix::kJobHolderArgument) == 0) {
    return tessaryn::launcher::posix::run_job_holder(argc, argv);
  }
  tessaryn::launcher::posix::PosixPlatform platform;
  tessaryn::launcher::Supervisor supervisor(platform);
  return supervisor.run();
}
