// Run-time loading of a library from an exact file, for a vendor runtime the program does not link.
// The caller decides the folders; these calls never fall back on the system's library search path,
// so a library of the same name elsewhere on the machine is never picked up by accident.
// platform/posix_library_loader.cpp is built here; platform/windows_library_loader.cpp maps the same
// calls onto GetModuleFileNameW, _wgetenv, LoadLibraryW, GetProcAddress and FreeLibrary.
#pragma once

#include <string>

namespace tessaryn::receivers::platform {

// The folder of the running executable, cut before the last path separator; empty when the path
// cannot be had or is longer than the system's path limit.
std::string executable_folder();

// The folder named by an environment variable; empty when it is unset, empty or longer than the
// system's path limit.
std::string environment_folder(const char* variable);

// The folder, the system's separator and the name. A folder that already ends in a separator gets a
// second one, which both systems accept.
std::string path_in_folder(const std::string& folder, const std::string& name);

// Loads exactly this file and resolves all its symbols now; null when it cannot be loaded.
void* load_library_file(const std::string& path);
// The named export of a loaded library, or null.
void* library_symbol(void* library, const char* name);
void free_library(void* library);

}  // namespace tessaryn::receivers::platform
