// The Windows side of the library loader (built by the Windows build). Paths cross the interface as
// UTF-8 and are handed to the system as UTF-16, so folders with any name survive the round trip.
#include <windows.h>

#include <cstdlib>

#include "receivers/common/library_loader.hpp"

namespace tessaryn::receivers::platform {

namespace {

constexpr DWORD kPathLimit = MAX_PATH - 1;  // 259 wide characters, terminator excluded

std::string utf8_from_wide(const wchar_t* text, int length) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring wide_from_utf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

}  // namespace

std::string executable_folder() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A result of MAX_PATH means the path was cut off.
  if (length == 0 || length > kPathLimit) return {};
  int cut = -1;
  for (DWORD i = 0; i < length; ++i) {
    if (path[i] == L'\\' || path[i] == L'/') cut = static_cast<int>(i);
  }
  if (cut <= 0) return {};
  return utf8_from_wide(path, cut);
}

std::string environment_folder(const char* variable) {
  const std::wstring name = wide_from_utf8(variable);
  wchar_t value[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(name.c_str(), value, MAX_PATH);
  if (length == 0 || length > kPathLimit) return {};
  return utf8_from_wide(value, static_cast<int>(length));
}

std::string path_in_folder(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

void* load_library_file(const std::string& path) {
  const std::wstring wide = wide_from_utf8(path);
  if (wide.empty()) return nullptr;
  return ::LoadLibraryW(wide.c_str());
}

void* library_symbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(void* library) {
  if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace tessaryn::receivers::platform
