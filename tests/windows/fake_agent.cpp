// The stand-in Tessaryn-agent.exe for the launcher's tests under wine, steered by environment
// variables as the POSIX tests' fake agent is.
//
//   Tessaryn-agent.exe                 what the launcher starts
//   Tessaryn-agent.exe receiver NAME   a process of the agent's tree that waits for the stop files
//   Tessaryn-agent.exe orphan          starts the receiver "orphan" and exits at once
//
// FAKE_MODE:   "serve" (default) starts its receivers, writes the addresses of FAKE_URLS (hex-coded
//              bytes, comma-separated; default "http://127.0.0.1:4321" and a CRLF) one after the other
//              into tessaryn-url, FAKE_URL_PAUSE_MS apart, and stays; "exit" ends at once.
// FAKE_RECORD: a folder where every process notes what it did: starts (one line per agent start:
//              pid and working directory), pids (pid and name), seen (a receiver's JSON line once
//              both stop files exist, with their contents).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring environment(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  return value == nullptr ? std::wstring() : std::wstring(value);
}

std::string narrow(const std::wstring& text) {
  std::string out;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size > 1) {
    out.resize(static_cast<std::size_t>(size - 1));
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  }
  return out;
}

// One WriteFile per line on an append handle, so that the lines of several processes never mix.
void note(const wchar_t* name, const std::string& line) {
  const std::wstring path = environment(L"FAKE_RECORD") + L"\\" + name;
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

std::wstring tessaryn_folder() {
  const std::wstring root = environment(L"LOCALAPPDATA");
  return root.empty() ? root : root + L"\\Tessaryn";
}

std::wstring static_folder() { return tessaryn_folder() + L"\\runtime\\app\\static"; }

const wchar_t* const kStopFiles[] = {L"ndi_stop.request", L"srt_stop.request"};

bool read_file(const std::wstring& path, std::string& content) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[256];
  DWORD read = 0;
  content.clear();
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
  ::CloseHandle(file);
  return true;
}

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 32) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool start_self(const std::wstring& arguments) {
  wchar_t program[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, program, MAX_PATH) == 0) return false;
  std::wstring command = L"\"" + std::wstring(program) + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

int receiver(const std::wstring& name) {
  note(L"pids", std::to_string(::GetCurrentProcessId()) + " " + narrow(name));
  bool seen = false;
  for (;;) {
    if (!seen && !tessaryn_folder().empty()) {
      std::string contents[2];
      bool both = true;
      // The launcher creates each file and then writes it: an empty one is still being written.
      for (int i = 0; i < 2; ++i) {
        both = read_file(static_folder() + L"\\" + kStopFiles[i], contents[i]) && !contents[i].empty() && both;
      }
      if (both) {
        note(L"seen", "{\"name\": " + json_text(narrow(name)) + ", \"contents\": [" + json_text(contents[0]) + ", " +
                          json_text(contents[1]) + "]}");
        seen = true;
      }
    }
    ::Sleep(20);
  }
}

void write_url(const std::wstring& folder, const std::string& url) {
  const std::wstring temporary = folder + L"\\.url.tmp";
  HANDLE file =
      ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, url.data(), static_cast<DWORD>(url.size()), &written, nullptr);
  ::CloseHandle(file);
  ::MoveFileExW(temporary.c_str(), (folder + L"\\tessaryn-url").c_str(), MOVEFILE_REPLACE_EXISTING);
}

int agent() {
  wchar_t directory[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  note(L"starts", std::to_string(::GetCurrentProcessId()) + " " + narrow(directory));
  note(L"pids", std::to_string(::GetCurrentProcessId()) + " agent");
  // What the launcher appends to tray-agent.log and tray-agent-error.log.
  std::printf("agent %lu started\n", ::GetCurrentProcessId());
  std::fflush(stdout);
  std::fprintf(stderr, "agent %lu error stream\n", ::GetCurrentProcessId());
  std::fflush(stderr);
  if (environment(L"FAKE_MODE") == L"exit") return 0;

  const std::wstring folder = tessaryn_folder();
  if (!folder.empty()) {
    for (const wchar_t* part : {L"\\runtime", L"\\runtime\\app", L"\\runtime\\app\\static"}) {
      ::CreateDirectoryW((folder + part).c_str(), nullptr);
    }
    for (const wchar_t* name : kStopFiles) ::DeleteFileW((static_folder() + L"\\" + name).c_str());
  }
  start_self(L"receiver child");
  start_self(L"orphan");
  const std::string urls = narrow(environment(L"FAKE_URLS"));
  const int pause = std::atoi(narrow(environment(L"FAKE_URL_PAUSE_MS")).c_str());
  if (!folder.empty()) {
    std::vector<std::string> addresses;
    if (urls.empty()) addresses.push_back("http://127.0.0.1:4321\r\n");
    for (std::size_t at = 0; at < urls.size(); ++at) {
      if (addresses.empty() || urls[at] == ',') addresses.emplace_back();
      if (urls[at] == ',') continue;
      addresses.back().push_back(static_cast<char>(std::stoi(urls.substr(at, 2), nullptr, 16)));
      ++at;
    }
    for (const std::string& address : addresses) {
      write_url(folder, address);
      ::Sleep(static_cast<DWORD>(pause));
    }
  }
  note(L"urls-written", "done");
  for (;;) ::Sleep(1000);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"receiver") == 0) return receiver(argv[2]);
  if (argc >= 2 && std::wcscmp(argv[1], L"orphan") == 0) return start_self(L"receiver orphan") ? 0 : 1;
  return agent();
}
