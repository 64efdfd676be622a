#include "launcher/platform/windows/windows_platform.hpp"

#include <shellapi.h>

#include "launcher/menu_text.hpp"

#include <cwchar>
#include <vector>

namespace tessaryn::launcher::windows {

namespace {

constexpr wchar_t kMutexName[] = L"Local\\Tessaryn";
constexpr wchar_t kWindowTitle[] = L"Tessaryn";

HANDLE open_inheritable(const std::string& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring wide = wide_from_utf8(path);
  return ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, creation,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void close_if_open(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

std::wstring wide_from_utf8(std::string_view text) {
  if (text.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string utf8_from_wide(std::wstring_view text) {
  if (text.empty()) return {};
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

WindowsPlatform::~WindowsPlatform() {
  end_agent_job();
  release_single_instance();
}

InstanceClaim WindowsPlatform::claim_single_instance() {
  mutex_ = ::CreateMutexW(nullptr, TRUE, kMutexName);
  // A mutex that cannot be created is taken for another copy's, as the documented start says.
  if (mutex_ == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) return {InstanceState::kHeldElsewhere, {}};
  return {InstanceState::kClaimed, {}};
}

void WindowsPlatform::forward_open_request() {
  if (HWND running = ::FindWindowW(kWindowClass, nullptr)) {
    ::PostMessageW(running, WM_COMMAND, MAKEWPARAM(kCommandOpen, 0), 0);
  }
}

void WindowsPlatform::release_single_instance() { close_if_open(mutex_); }

std::optional<std::string> WindowsPlatform::data_root() {
  const wchar_t* root = ::_wgetenv(L"LOCALAPPDATA");
  if (root == nullptr || *root == L'\0') return std::nullopt;
  return utf8_from_wide(root);
}

std::optional<std::string> WindowsPlatform::program_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A result of MAX_PATH means the path was cut off.
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  const std::wstring_view program(path, length);
  const std::size_t cut = program.rfind(L'\\');
  if (cut == std::wstring_view::npos) return std::nullopt;
  return utf8_from_wide(program.substr(0, cut + 1));
}

bool WindowsPlatform::make_directory(const std::string& path) {
  const std::wstring wide = wide_from_utf8(path);
  if (::CreateDirectoryW(wide.c_str(), nullptr)) return true;
  if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::string> WindowsPlatform::read_file_start(const std::string& path, std::size_t max_bytes) {
  const std::wstring wide = wide_from_utf8(path);
  // The agent may be rewriting the file at this moment; sharing everything keeps it from failing.
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes(max_bytes, '\0');
  std::size_t filled = 0;
  while (filled < max_bytes) {
    DWORD read = 0;
    if (!::ReadFile(file, bytes.data() + filled, static_cast<DWORD>(max_bytes - filled), &read, nullptr) || read == 0) {
      break;
    }
    filled += read;
  }
  ::CloseHandle(file);
  bytes.resize(filled);
  return bytes;
}

namespace {

bool write_all_and_close(HANDLE file, std::string_view bytes) {
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  return ::CloseHandle(file) && ok;
}

}  // namespace

bool WindowsPlatform::write_file(const std::string& path, std::string_view bytes) {
  const std::wstring wide = wide_from_utf8(path);
  return write_all_and_close(::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr),
                             bytes);
}

bool WindowsPlatform::append_file(const std::string& path, std::string_view bytes) {
  const std::wstring wide = wide_from_utf8(path);
  // Shared as the agent's own log handles are, so that an agent writing to it does not refuse us.
  return write_all_and_close(::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                             bytes);
}

void WindowsPlatform::delete_file(const std::string& path) { ::DeleteFileW(wide_from_utf8(path).c_str()); }

void WindowsPlatform::sleep(std::chrono::milliseconds duration) { ::Sleep(static_cast<DWORD>(duration.count())); }

bool WindowsPlatform::create_agent_job() {
  close_if_open(job_);
  job_ = ::CreateJobObjectW(nullptr, nullptr);
  if (job_ == nullptr) return false;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    close_if_open(job_);
    return false;
  }
  return true;
}

bool WindowsPlatform::start_agent_in_job(const AgentLaunch& launch) {
  HANDLE input = nullptr, output = nullptr, error = nullptr;
  if (launch.output_log && launch.error_log) {
    input = open_inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    output = open_inheritable(*launch.output_log, FILE_APPEND_DATA, OPEN_ALWAYS);
    error = open_inheritable(*launch.error_log, FILE_APPEND_DATA, OPEN_ALWAYS);
  }
  const bool redirected = input != nullptr && input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
                          output != nullptr && error != INVALID_HANDLE_VALUE && error != nullptr;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
  }
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::wstring command = L"\"" + wide_from_utf8(launch.program) + L"\"";
  std::vector<wchar_t> command_line(command.begin(), command.end());
  command_line.push_back(L'\0');
  const std::wstring directory = wide_from_utf8(launch.working_directory);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, redirected ? TRUE : FALSE,
                                        CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
                                        directory.c_str(), &startup, &process);
  close_if_open(input);
  close_if_open(output);
  close_if_open(error);
  if (!started) return false;

  // Suspended until it is in the job, so that nothing it starts can escape the job.
  if (!::AssignProcessToJobObject(job_, process.hProcess)) {
    ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return false;
  }
  ::ResumeThread(process.hThread);
  ::CloseHandle(process.hThread);
  close_if_open(agent_);
  agent_ = process.hProcess;
  return true;
}

bool WindowsPlatform::agent_exited() {
  return agent_ == nullptr || ::WaitForSingleObject(agent_, 0) != WAIT_TIMEOUT;
}

void WindowsPlatform::end_agent_job() {
  if (job_ != nullptr) {
    ::TerminateJobObject(job_, 0);
    close_if_open(job_);
  }
  close_if_open(agent_);
}

void WindowsPlatform::open_in_browser(const std::string& url) {
  const std::wstring wide = wide_from_utf8(url);
  ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool WindowsPlatform::load_icons() {
  large_icon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                                ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON),
                                                LR_SHARED));
  small_icon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                                ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                                LR_SHARED));
  return large_icon_ != nullptr && small_icon_ != nullptr;
}

void WindowsPlatform::show_error(const std::string& text, const std::string& caption) {
  ::MessageBoxW(nullptr, wide_from_utf8(text).c_str(), wide_from_utf8(caption).c_str(), MB_OK | MB_ICONERROR);
}

bool WindowsPlatform::create_tray_window(LoopEvents& events, std::chrono::milliseconds tick) {
  events_ = &events;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance_;
  window_class.hIcon = large_icon_;
  window_class.hIconSm = small_icon_;
  window_class.lpszClassName = kWindowClass;
  if (::RegisterClassExW(&window_class) == 0) return false;
  window_ = ::CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) return false;
  ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large_icon_));
  ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));

  NOTIFYICONDATAW tray{};
  tray.cbSize = sizeof tray;
  tray.hWnd = window_;
  tray.uID = kTrayIconId;
  tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  tray.uCallbackMessage = kTrayCallbackMessage;
  tray.hIcon = small_icon_;
  std::wcsncpy(tray.szTip, kWindowTitle, sizeof tray.szTip / sizeof tray.szTip[0] - 1);
  tray_icon_added_ = ::Shell_NotifyIconW(NIM_ADD, &tray) != FALSE;

  ::SetTimer(window_, kTickTimerId, static_cast<UINT>(tick.count()), nullptr);
  return true;
}

void WindowsPlatform::run_loop() {
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

void WindowsPlatform::destroy_tray_window() {
  if (window_ != nullptr) ::DestroyWindow(window_);
}

void WindowsPlatform::remove_tray_icon() {
  if (!tray_icon_added_) return;
  NOTIFYICONDATAW tray{};
  tray.cbSize = sizeof tray;
  tray.hWnd = window_;
  tray.uID = kTrayIconId;
  ::Shell_NotifyIconW(NIM_DELETE, &tray);
  tray_icon_added_ = false;
}

HMENU create_tray_menu(const std::vector<MenuItem>& items) {
  HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr) return nullptr;
  for (const MenuItem& item : items) {
    const UINT flags = MF_STRING | (item.greyed ? MF_GRAYED : 0U);
    ::AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.command),
                  wide_from_utf8(literal_menu_text(item.text)).c_str());
  }
  return menu;
}

void WindowsPlatform::show_tray_menu() {
  HMENU menu = create_tray_menu(events_->tray_menu());
  if (menu == nullptr) return;
  POINT cursor{};
  ::GetCursorPos(&cursor);
  // Without the foreground the menu would stay open after a click elsewhere.
  ::SetForegroundWindow(window_);
  ::TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window_, nullptr);
  ::DestroyMenu(menu);
}

LRESULT CALLBACK WindowsPlatform::window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* self = reinterpret_cast<WindowsPlatform*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->events_ == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  return self->handle(window, message, wparam, lparam);
}

LRESULT WindowsPlatform::handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kTickTimerId) events_->on_timer();
      return 0;
    case kTrayCallbackMessage:
      if (LOWORD(lparam) == WM_LBUTTONUP) {
        events_->on_tray_left_click();
      } else if (LOWORD(lparam) == WM_RBUTTONUP) {
        show_tray_menu();
      }
      return 0;
    case WM_COMMAND:
      events_->on_command(LOWORD(wparam));
      return 0;
    case WM_DESTROY:
      // No tick may start once the stop sequence has begun.
      ::KillTimer(window, kTickTimerId);
      remove_tray_icon();
      events_->on_destroy();
      window_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace tessaryn::launcher::windows
