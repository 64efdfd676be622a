#include "receivers/lancapture/ndi_binding.hpp"

#include <cstdio>

#include "receivers/common/library_loader.hpp"

namespace tessaryn::lancapture {

namespace platform = receivers::platform;

namespace {

template <typename Function>
bool look_up(void* library, const char* name, Function& slot) {
  slot = reinterpret_cast<Function>(platform::library_symbol(library, name));
  return slot != nullptr;
}

bool look_up_all(void* library, ndi::EntryPoints& e) {
  // Every lookup runs, so that a partly bound set never survives by short-circuit.
  bool ok = true;
  ok &= look_up(library, "NDIlib_initialize", e.initialize);
  ok &= look_up(library, "NDIlib_destroy", e.destroy);
  ok &= look_up(library, "NDIlib_find_create_v2", e.find_create_v2);
  ok &= look_up(library, "NDIlib_find_destroy", e.find_destroy);
  ok &= look_up(library, "NDIlib_find_wait_for_sources", e.find_wait_for_sources);
  ok &= look_up(library, "NDIlib_find_get_current_sources", e.find_get_current_sources);
  ok &= look_up(library, "NDIlib_recv_create_v3", e.recv_create_v3);
  ok &= look_up(library, "NDIlib_recv_destroy", e.recv_destroy);
  ok &= look_up(library, "NDIlib_recv_connect", e.recv_connect);
  ok &= look_up(library, "NDIlib_recv_capture_v3", e.recv_capture_v3);
  ok &= look_up(library, "NDIlib_recv_free_video_v2", e.recv_free_video_v2);
  ok &= look_up(library, "NDIlib_recv_free_audio_v3", e.recv_free_audio_v3);
  ok &= look_up(library, "NDIlib_recv_free_metadata", e.recv_free_metadata);
  ok &= look_up(library, "NDIlib_recv_get_no_connections", e.recv_get_no_connections);
  return ok;
}

}  // namespace

bool RuntimeBinding::try_folder(const std::string& folder) {
  for (const char* name : kRuntimeFileNames) {
    const std::string path = platform::path_in_folder(folder, name);
    if (void* library = platform::load_library_file(path)) {
      library_ = library;
      library_path_ = path;
      return true;
    }
  }
  return false;
}

bool RuntimeBinding::load() {
  if (library_ != nullptr) return true;
  const std::string own = platform::executable_folder();
  if (!own.empty()) try_folder(own);
  if (library_ == nullptr) {
    const std::string named = platform::environment_folder(kRuntimeFolderVariable);
    if (!named.empty()) try_folder(named);
  }
  if (library_ == nullptr) {
    std::fputs("NDI runtime DLL was not found beside lancapture.exe or in NDI_RUNTIME_DIR_V6.\n", stderr);
    return false;
  }
  return true;
}

bool RuntimeBinding::bind() {
  if (attempted_) return entry_points_.initialize != nullptr;
  attempted_ = true;
  if (!load()) return false;
  if (!look_up_all(library_, entry_points_)) {
    std::fputs("The NDI runtime is missing a receiver entry point.\n", stderr);
    platform::free_library(library_);
    library_ = nullptr;
    library_path_.clear();
    entry_points_ = {};
    return false;
  }
  return true;
}

RuntimeBinding::~RuntimeBinding() {
  if (!initialized_) entry_points_.destroy = nullptr;
  unload();
}

bool RuntimeBinding::start() {
  initialized_ = bind() && entry_points_.initialize();
  return initialized_;
}

void RuntimeBinding::unload() {
  if (entry_points_.destroy != nullptr) entry_points_.destroy();
  if (library_ != nullptr) platform::free_library(library_);
  library_ = nullptr;
  library_path_.clear();
  entry_points_ = {};
  attempted_ = false;
  initialized_ = false;
}

}  // namespace tessaryn::lancapture
