// The one call of <dlfcn.h> the runtime double makes (which library holds an address), on Windows.
#pragma once

#include <windows.h>

struct Dl_info {
  const char* dli_fname;
  void* dli_fbase;
  const char* dli_sname;
  void* dli_saddr;
};

inline int dladdr(const void* address, Dl_info* info) {
  static char path[MAX_PATH];
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(address), &module)) {
    return 0;
  }
  const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  info->dli_fname = path;
  info->dli_fbase = module;
  info->dli_sname = nullptr;
  info->dli_saddr = nullptr;
  return 1;
}
