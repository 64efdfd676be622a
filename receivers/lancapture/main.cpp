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

namespace {

// One runtime instance (finder or receiver) and the entry point that destroys it.
class RuntimeInstance {
 public:
  RuntimeInstance(void* instance, void (*destroy)(void*)) : instance_(instance), destroy_(destroy) {}
  ~RuntimeInstance() {
    if (instance_ != nullptr) destroy_(instance_);
  }
  RuntimeInstance(const RuntimeInstance&) = delete;
  RuntimeInstance& operator=(const RuntimeInstance&) = delete;
  void* get() const { return instance_; }

 private:
  void* instance_;
  void (*destroy_)(void*);
};

// The last console line, printed after a stop once the runtime is shut down and unloaded.
struct Farewell {
  bool armed = false;
  ~Farewell() {
    if (!armed) return;
    std::printf("\nTessaryn NDI receiver arrêté.\n");
    std::fflush(stdout);
  }
};

}  // namespace

int main() {
  // The stop handlers come before anything that takes time, so that an early stop is never lost.
  platform::install_console_stop_handler();
  platform::SingleInstance instance(kInstanceName);
  if (!instance.held()) {
    std::fputs("Tessaryn NDI receiver is already running.\n", stderr);
    return 1;
  }
  // Each resource below is released by its owner in the reverse order of acquisition, on every way
  // out: receiver, finder, runtime, encoder and its runtime, then the instance lock.
  platform::ProcessRuntime process_runtime;
  Farewell farewell;  // said once the runtime is gone, and only after a stop

  RuntimeBinding runtime;
  if (!runtime.start()) {
    std::fputs("Impossible d'initialiser NDI.\n", stderr);
    return 1;
  }
  const ndi::EntryPoints& api = runtime.entry_points();
  const RuntimeInstance finder(api.find_create_v2(nullptr), api.find_destroy);
  if (finder.get() == nullptr) {
    std::fputs("Impossible de créer NDI Finder.\n", stderr);
    return 1;
  }
  const ndi::RecvCreateV3 settings{{nullptr, nullptr}, ndi::kColorFormatBgrxBgra, ndi::kBandwidthHighest, false,
                                   "Tessaryn"};
  const RuntimeInstance receiver(api.recv_create_v3(&settings), api.recv_destroy);
  if (receiver.get() == nullptr) {
    std::fputs("Impossible de créer receiver.\n", stderr);
    return 1;
  }

  std::printf("Tessaryn NDI receiver actif.\n");
  std::printf("Receiver créé: %p\n", receiver.get());
  std::printf("Sélection pilotée par %s\n", kSelectionPath);
  std::fflush(stdout);

  ControlLoop loop(api, finder.get(), receiver.get(), latency_switch_from(std::getenv("KANTELLA_DEV_LATENCY")));
  loop.run();
  loop.shutdown();
  farewell.armed = true;
  return 0;
}
