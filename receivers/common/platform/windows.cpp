// The Windows side of the receivers' platform layer: files through the ANSI functions of Windows and
// of the C runtime, clocks from the performance counter and the precise system time, stop events
// through the console control handler, JPEG through the Windows Imaging Component over COM.
#include <windows.h>
#include <wincodec.h>
#include <io.h>

#include <cerrno>
#include <csignal>

#include "receivers/common/platform.hpp"
#include "receivers/common/platform/read_to_limit.hpp"
#include "receivers/common/stop_request.hpp"

namespace tessaryn::receivers::platform {

namespace {

// From 1601-01-01 (where file times count from) to 1970-01-01, in 100-nanosecond ticks.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;

// The output path buffer of the encoder holds 260 wide characters, terminator included.
constexpr int kWidePathUnits = MAX_PATH;

IWICImagingFactory* imaging_factory = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      keep_running.store(0);
      return TRUE;
    default:
      return FALSE;
  }
}

extern "C" void on_stop_signal(int) { keep_running.store(0); }

// The C runtime's error number for a system error, so that both systems' messages name a cause alike.
int errno_from_system(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

template <typename T>
void release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

}  // namespace

bool move_file_replacing(const std::string& source, const std::string& target) {
  return ::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool copy_file_replacing(const std::string& source, const std::string& target) {
  // A link at the target would be written through by a copy; only a move may replace it.
  const DWORD target_attributes = ::GetFileAttributesA(target.c_str());
  if (target_attributes != INVALID_FILE_ATTRIBUTES && (target_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  return ::CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

void delete_file(const std::string& path) { ::DeleteFileA(path.c_str()); }

bool file_exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

FileRead read_regular_file(const std::string& path, std::size_t limit) {
  FileRead result;
  // The writer may replace or delete the file while it is read: every sharing is granted. A reparse
  // point is opened as itself, never followed.
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      result.status = ReadStatus::missing;
    } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      result.status = ReadStatus::not_regular;  // a folder does not even open as a file
    } else {
      result.status = ReadStatus::failed;
      result.error_number = errno_from_system(error);
    }
    return result;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (!regular) {
    ::CloseHandle(file);
    result.status = ReadStatus::not_regular;
    return result;
  }
  FileRead contents = read_to_limit(limit, [file](char* buffer, std::size_t room, int& error) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, room > 0x10000000U ? 0x10000000U : static_cast<DWORD>(room), &got, nullptr)) {
      error = errno_from_system(::GetLastError());
      return -1LL;
    }
    return static_cast<long long>(got);
  });
  ::CloseHandle(file);
  return contents;
}

FileWrite write_new_file(const std::string& path, const void* data, std::size_t size, bool commit,
                         PathText path_text) {
  FileWrite result;
  wchar_t wide_path[kWidePathUnits];
  const UINT code_page = path_text == PathText::utf8 ? CP_UTF8 : CP_ACP;
  if (::MultiByteToWideChar(code_page, 0, path.c_str(), -1, wide_path, kWidePathUnits) == 0) {
    result.failed_at = WriteStage::path;
    return result;
  }
  // DeleteFile takes a link itself away, never its target. What it cannot take (a folder, a file
  // held without delete sharing) is the better explanation when the creation then fails.
  DWORD removed = 0;
  if (!::DeleteFileW(wide_path)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) removed = error;
  }
  HANDLE file = ::CreateFileW(wide_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    result.failed_at = WriteStage::open;
    result.error_number =
        errno_from_system((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && removed != 0 ? removed
                                                                                                          : error);
    return result;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  bool ok = true;
  DWORD error = 0;
  while (ok && size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x10000000U ? 0x10000000U : static_cast<DWORD>(size);
    ok = ::WriteFile(file, bytes, chunk, &written, nullptr) != 0 && written > 0;
    if (!ok) error = ::GetLastError();
    bytes += written;
    size -= written;
  }
  if (ok && commit && !::FlushFileBuffers(file)) {
    ok = false;
    error = ::GetLastError();
  }
  if (!::CloseHandle(file) && ok) {
    ok = false;
    error = ::GetLastError();
  }
  if (!ok) {
    result.failed_at = WriteStage::write;
    result.error_number = errno_from_system(error);
  }
  return result;
}

unsigned long file_failure_code(int error_number) {
  switch (error_number) {
    case EACCES: return 0x80070005UL;  // E_ACCESSDENIED
    case ENOENT: return 0x80070003UL;  // the path's folder is missing
    case EEXIST: return 0x80070050UL;
    case ENOSPC: return 0x80070070UL;
    default: return 0x80004005UL;      // E_FAIL
  }
}

void sleep_ms(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds)); }

std::int64_t monotonic_ns() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return static_cast<std::int64_t>(value.QuadPart);
  }();
  LARGE_INTEGER count;
  ::QueryPerformanceCounter(&count);
  // Whole seconds and the remainder apart, so that the product never overflows on a long uptime.
  const std::int64_t ticks = count.QuadPart;
  return ticks / frequency * 1000000000LL + ticks % frequency * 1000000000LL / frequency;
}

std::int64_t wall_ticks_100ns() {
  FILETIME now;
  ::GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return ticks - kUnixEpochTicks;
}

void install_console_stop_handler() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

long read_descriptor(int descriptor, void* buffer, std::size_t size) {
  const unsigned int chunk = size > 0x7fffffffU ? 0x7fffffffU : static_cast<unsigned int>(size);
  for (;;) {
    const int n = ::_read(descriptor, buffer, chunk);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

void close_descriptor(int descriptor) { ::_close(descriptor); }

long read_handle(std::int64_t handle, void* buffer, std::size_t size) {
  const DWORD chunk = size > 0x7fffffffU ? 0x7fffffffU : static_cast<DWORD>(size);
  DWORD read = 0;
  if (::ReadFile(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)), buffer, chunk, &read, nullptr)) {
    return static_cast<long>(read);
  }
  // A pipe whose writer has closed it ends this way rather than with a zero-byte read.
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

void close_handle(std::int64_t handle) { ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle))); }

void wipe_memory(void* data, std::size_t size) {
  if (data != nullptr && size > 0) ::SecureZeroMemory(data, size);
}

JpegResult encode_bgr24_jpeg(const std::uint8_t* bgr, int width, int height, int row_bytes, float quality,
                             std::vector<std::uint8_t>& jpeg) {
  JpegResult result;
  if (imaging_factory == nullptr &&
      FAILED(::CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&imaging_factory)))) {
    imaging_factory = nullptr;
    result.encoder_missing = true;
    return result;
  }

  IWICBitmap* bitmap = nullptr;
  IStream* memory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* bag = nullptr;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  const UINT stride = static_cast<UINT>(row_bytes);
  const UINT buffer_size = stride * static_cast<UINT>(height);

  // The image is encoded into memory; the file is written by the caller, created afresh, so that
  // the encoder never opens whatever another process put at the path.
  // Each call runs only while every earlier one succeeded; the first failure is the one reported.
  HRESULT hr = imaging_factory->CreateBitmapFromMemory(static_cast<UINT>(width), static_cast<UINT>(height),
                                                       GUID_WICPixelFormat24bppBGR, stride, buffer_size,
                                                       const_cast<BYTE*>(bgr), &bitmap);
  if (SUCCEEDED(hr)) hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &memory);
  if (SUCCEEDED(hr)) hr = imaging_factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromIStream(memory);
  if (SUCCEEDED(hr)) hr = imaging_factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &bag);
  if (SUCCEEDED(hr)) {
    PROPBAG2 option{};
    option.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = quality;
    hr = bag->Write(1, &option, &value);
  }
  if (SUCCEEDED(hr)) hr = frame->Initialize(bag);
  if (SUCCEEDED(hr)) hr = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height));
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->WriteSource(bitmap, nullptr);
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  STATSTG info{};
  if (SUCCEEDED(hr)) hr = memory->Stat(&info, STATFLAG_NONAME);
  HGLOBAL global = nullptr;
  if (SUCCEEDED(hr)) hr = ::GetHGlobalFromStream(memory, &global);
  if (SUCCEEDED(hr)) {
    const void* bytes = ::GlobalLock(global);
    if (bytes == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      const auto* begin = static_cast<const std::uint8_t*>(bytes);
      jpeg.assign(begin, begin + static_cast<std::size_t>(info.cbSize.QuadPart));
      ::GlobalUnlock(global);
    }
  }

  release(frame);
  release(bag);
  release(encoder);
  release(stream);
  release(memory);
  release(bitmap);
  result.ok = SUCCEEDED(hr);
  if (!result.ok) result.code = static_cast<unsigned long>(hr);
  return result;
}

ProcessRuntime::ProcessRuntime() {
  const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  release_needed_ = hr == S_OK || hr == S_FALSE;
}

ProcessRuntime::~ProcessRuntime() {
  // The factory is a COM object: it goes before the apartment that made it.
  release(imaging_factory);
  if (release_needed_) ::CoUninitialize();
}

}  // namespace tessaryn::receivers::platform
