// Windows-side helpers for the wine tests.
//
//   tessaryn_test_tool post COMMAND       posts WM_COMMAND COMMAND to the window of class TessarynTray;
//                                         exit 0 when the window was found, 3 when not
//   tessaryn_test_tool tray EVENT         posts the tray icon's callback message (WM_APP + 1) with the
//                                         mouse message EVENT, as the shell does on a click
//   tessaryn_test_tool alive PID          exit 0 while the process runs, 1 when it has ended
//   tessaryn_test_tool open URL           the browser stand-in: appends URL to %FAKE_RECORD%\opened
//   tessaryn_test_tool secret HEX PROGRAM [ARG...]
//                                         writes the bytes HEX into a pipe, closes its writing end and
//                                         runs PROGRAM ARG... --secret-handle <reading end>, inherited;
//                                         exits with the program's exit code
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int post(const wchar_t* command) {
  HWND window = ::FindWindowW(L"TessarynTray", nullptr);
  if (window == nullptr) return 3;
  return ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(std::wcstoul(command, nullptr, 10), 0), 0) ? 0 : 4;
}

int tray(const wchar_t* event) {
  HWND window = ::FindWindowW(L"TessarynTray", nullptr);
  if (window == nullptr) return 3;
  return ::PostMessageW(window, WM_APP + 1, 1, static_cast<LPARAM>(std::wcstoul(event, nullptr, 10))) ? 0 : 4;
}

int alive(const wchar_t* pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(pid, nullptr, 10)));
  if (process == nullptr) return 1;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running ? 0 : 1;
}

int open(const wchar_t* url) {
  const wchar_t* record = ::_wgetenv(L"FAKE_RECORD");
  if (record == nullptr) return 2;
  const std::wstring path = std::wstring(record) + L"\\opened";
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  std::string line;
  for (const wchar_t* c = url; *c != L'\0'; ++c) line.push_back(*c < 128 ? static_cast<char>(*c) : '?');
  line.push_back('\n');
  DWORD written = 0;
  ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(file);
  return 0;
}

std::wstring quoted(const wchar_t* argument) {
  std::wstring out = L"\"";
  for (const wchar_t* c = argument; *c != L'\0'; ++c) {
    if (*c == L'"') out += L'\\';
    out += *c;
  }
  return out + L"\"";
}

int secret(const wchar_t* hex, int argc, wchar_t** argv) {
  std::vector<unsigned char> record;
  for (std::size_t i = 0; hex[i] != L'\0' && hex[i + 1] != L'\0'; i += 2) {
    const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
    record.push_back(static_cast<unsigned char>(std::wcstoul(pair, nullptr, 16)));
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE reading = nullptr, writing = nullptr;
  if (!::CreatePipe(&reading, &writing, &inherit, 65536)) return 90;
  // Only the reading end goes to the program.
  ::SetHandleInformation(writing, HANDLE_FLAG_INHERIT, 0);
  DWORD written = 0;
  if (!record.empty()) ::WriteFile(writing, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  ::CloseHandle(writing);

  std::wstring command;
  for (int i = 0; i < argc; ++i) command += (i > 0 ? L" " : L"") + quoted(argv[i]);
  command += L" --secret-handle " + std::to_wstring(reinterpret_cast<std::intptr_t>(reading));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 91;
  }
  ::CloseHandle(reading);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 92;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"post") == 0) return post(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"tray") == 0) return tray(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"alive") == 0) return alive(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"open") == 0) return open(argv[2]);
  if (argc >= 4 && std::wcscmp(argv[1], L"secret") == 0) return secret(argv[2], argc - 3, argv + 3);
  return 2;
}
