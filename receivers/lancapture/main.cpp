// lancapture: receives one video-over-IP source from the local network and publishes its newest
// frame as a JPEG preview, plus status and source-list documents, for the agent.
#include <cstdio>
#include <cstdlib>

#include "receivers/common/platform.hpp"
#include "receivers/common/single_instance.hpp"
#include "receivers/lancapture/control_loop.hpp"
#include "receivers/lancapture/files.hpp"
#include "receivers/lancapture/ndi_binding.hpp"

using namespace tessaryn::lancapture;
namespace platform = tessaryn::receivers::platform;

int main() {
  // The stop handlers come before anything that takes time, so that an early stop is never lost.
  platform::install_console_stop_handler();
  platform::SingleInstance instance(kInstanceName);
  if (!instance.held()) {
    std::fputs("Tessaryn NDI receiver is already running.\n", stderr);
    return 1;
  }
  // Acquired after the instance lock and released before it: encoder, then its runtime, then the lock.
  platform::ProcessRuntime process_runtime;

  RuntimeBinding runtime;
  if (!runtime.start()) {
    std::fputs("Impossible d'initialiser NDI.\n", stderr);
    return 1;
  }
  const ndi::EntryPoints& api = runtime.entry_points();
  void* finder = api.find_create_v2(nullptr);
  if (finder == nullptr) {
    std::fputs("Impossible de créer NDI Finder.\n", stderr);
    runtime.unload();
    return 1;
  }
  const ndi::RecvCreateV3 settings{{nullptr, nullptr}, ndi::kColorFormatBgrxBgra, ndi::kBandwidthHighest, false,
                                   "Tessaryn"};
  void* receiver = api.recv_create_v3(&settings);
  if (receiver == nullptr) {
    std::fputs("Impossible de créer receiver.\n", stderr);
    api.find_destroy(finder);
    runtime.unload();
    return 1;
  }

  std::printf("Tessaryn NDI receiver actif.\n");
  std::printf("Receiver créé: %p\n", receiver);
  std::printf("Sélection pilotée par %s\n", kSelectionPath);
  std::fflush(stdout);

  {
    ControlLoop loop(api, finder, receiver, latency_switch_from(std::getenv("KANTELLA_DEV_LATENCY")));
    loop.run();
    loop.shutdown();
  }

  api.recv_destroy(receiver);
  api.find_destroy(finder);
  runtime.unload();
  std::printf("\nTessaryn NDI receiver arrêté.\n");
  std::fflush(stdout);
  return 0;
}
