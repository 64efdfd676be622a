// The video-over-IP runtime, found and bound at start-up rather than linked: the receiver runs on
// machines where the vendor's runtime is installed separately, and it must take the copy beside
// itself or the one the runtime's installer names, never whatever the system search would find.
#pragma once

#include <array>
#include <string>

#include "receivers/lancapture/ndi_abi.hpp"

namespace tessaryn::lancapture {

// The runtime's file names, tried in this order in each folder.
#ifdef _WIN32
inline constexpr std::array<const char*, 2> kRuntimeFileNames{"Processing.NDI.Lib.x64.dll", "Processing.NDI.Lib.dll"};
#else
inline constexpr std::array<const char*, 2> kRuntimeFileNames{"libndi.so.6", "libndi.so"};
#endif
inline constexpr const char* kRuntimeFolderVariable = "NDI_RUNTIME_DIR_V6";

class RuntimeBinding {
 public:
  RuntimeBinding() = default;
  // Whatever is still loaded is unloaded on every way out of the program, and shut down first when
  // it was started: a runtime whose initialisation failed is never asked to shut down.
  ~RuntimeBinding();
  RuntimeBinding(const RuntimeBinding&) = delete;
  RuntimeBinding& operator=(const RuntimeBinding&) = delete;

  // The executable's own folder first, then the folder in NDI_RUNTIME_DIR_V6. Succeeds at once when
  // a library is already loaded; reports on standard error when none is found.
  bool load();
  // Loads once and looks up all fourteen entry points; a runtime lacking any of them is refused whole.
  bool bind();
  // Binds and initialises the runtime.
  bool start();
  // Shuts the runtime down (when bound), unloads it and forgets every entry point.
  void unload();

  const ndi::EntryPoints& entry_points() const { return entry_points_; }
  // The file that was loaded, for the start-up report.
  const std::string& library_path() const { return library_path_; }

 private:
  bool try_folder(const std::string& folder);

  void* library_ = nullptr;
  std::string library_path_;
  bool attempted_ = false;
  bool initialized_ = false;
  ndi::EntryPoints entry_points_{};
};

}  // namespace tessaryn::lancapture
