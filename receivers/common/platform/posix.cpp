// The POSIX side of the receivers' platform layer: files through the C library and POSIX calls,
// clocks through clock_gettime, stop events through signals, JPEG through TurboJPEG.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "receivers/common/platform.hpp"
#include "receivers/common/platform/read_to_limit.hpp"
#include "receivers/common/stop_request.hpp"

namespace tessaryn::receivers::platform {

namespace {

std::string folder_of(const std::string& path) {
  const auto separator = path.find_last_of('/');
  if (separator == std::string::npos) return ".";
  if (separator == 0) return "/";
  return path.substr(0, separator);
}

bool write_all(int descriptor, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(descriptor, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

extern "C" void on_stop_signal(int) { keep_running.store(0); }

tjhandle jpeg_compressor = nullptr;

constexpr unsigned long kEncoderFailure = 0x80004005UL;

}  // namespace

bool move_file_replacing(const std::string& source, const std::string& target) {
  if (::rename(source.c_str(), target.c_str()) != 0) return false;
  // The rename is durable only once the folder's entry is on disk; this is the write-through of a move.
  const int folder = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

bool copy_file_replacing(const std::string& source, const std::string& target) {
  // Neither end is followed through a link or waited on; the target must be a regular file to be
  // written over (the source is one this program wrote).
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) return false;
  struct stat info {};
  int out = ::fstat(in, &info) == 0 && S_ISREG(info.st_mode)
                ? ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, info.st_mode & 07777)
                : -1;
  struct stat target_info {};
  if (out >= 0 && (::fstat(out, &target_info) != 0 || !S_ISREG(target_info.st_mode) || ::ftruncate(out, 0) != 0)) {
    ::close(out);
    out = -1;
  }
  bool ok = out >= 0;
  std::uint8_t buffer[65536];
  while (ok) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = write_all(out, buffer, static_cast<std::size_t>(n));
  }
  if (out >= 0 && ::close(out) != 0) ok = false;
  ::close(in);
  return ok;
}

void delete_file(const std::string& path) { ::unlink(path.c_str()); }

bool file_exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;  // something stands there, whatever it is
}

FileRead read_regular_file(const std::string& path, std::size_t limit) {
  FileRead result;
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0) {
    // ELOOP is what O_NOFOLLOW answers for a link; ENXIO a socket's path.
    if (errno == ENOENT || errno == ENOTDIR) {
      result.status = ReadStatus::missing;
    } else if (errno == ELOOP || errno == ENXIO || errno == EISDIR) {
      result.status = ReadStatus::not_regular;
    } else {
      result.status = ReadStatus::failed;
      result.error_number = errno;
    }
    return result;
  }
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(descriptor);
    result.status = ReadStatus::not_regular;
    return result;
  }
  FileRead contents = read_to_limit(limit, [descriptor](char* buffer, std::size_t room, int& error) {
    ssize_t n;
    do {
      n = ::read(descriptor, buffer, room);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? errno : 0;
    return static_cast<long long>(n);
  });
  ::close(descriptor);
  return contents;
}

FileWrite write_new_file(const std::string& path, const void* data, std::size_t size, bool commit, PathText) {
  FileWrite result;
  // unlink takes away a link or a FIFO itself, never what a link points at. What it cannot take (a
  // folder) is the better explanation when the creation then fails.
  const int removed = ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  // The permissions are left to the umask, as for any file the C library creates.
  const int descriptor =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (descriptor < 0) {
    result.failed_at = WriteStage::open;
    result.error_number = errno == EEXIST && removed != 0 ? removed : errno;
    return result;
  }
  bool ok = write_all(descriptor, static_cast<const std::uint8_t*>(data), size);
  int error_number = ok ? 0 : errno;
  if (ok && commit && ::fsync(descriptor) != 0) {
    ok = false;
    error_number = errno;
  }
  if (::close(descriptor) != 0 && ok) {
    ok = false;
    error_number = errno;
  }
  if (!ok) {
    result.failed_at = WriteStage::write;
    result.error_number = error_number;
  }
  return result;
}

unsigned long file_failure_code(int error_number) {
  return 0x80070000UL | (static_cast<unsigned long>(error_number) & 0xffffUL);
}

void sleep_ms(int milliseconds) {
  timespec rest{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  // A stop cuts the pause short; any other signal only interrupts it.
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR && keep_running.load() == 1) {
  }
}

std::int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::int64_t wall_ticks_100ns() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 10000000LL + now.tv_nsec / 100;
}

void install_console_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a call blocked when the stop arrives returns with EINTR instead of waiting on.
  action.sa_flags = 0;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal_number, &action, nullptr);
  // A console program on Windows sees a failed write when its reader has gone; here that reader
  // going away would otherwise end the process in the middle of a publication.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

long read_descriptor(int descriptor, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(descriptor, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

void close_descriptor(int descriptor) { ::close(descriptor); }

// There are no handles apart from descriptors here; a value no descriptor can have reads as an error.
long read_handle(std::int64_t handle, void* buffer, std::size_t size) {
  if (handle < 0 || handle > INT_MAX) {
    errno = EBADF;
    return -1;
  }
  return read_descriptor(static_cast<int>(handle), buffer, size);
}

void close_handle(std::int64_t handle) {
  if (handle >= 0 && handle <= INT_MAX) ::close(static_cast<int>(handle));
}

void wipe_memory(void* data, std::size_t size) {
  if (data != nullptr && size > 0) ::explicit_bzero(data, size);
}

JpegResult encode_bgr24_jpeg(const std::uint8_t* bgr, int width, int height, int row_bytes, float quality,
                             std::vector<std::uint8_t>& out) {
  JpegResult result;
  if (jpeg_compressor == nullptr) jpeg_compressor = tjInitCompress();
  if (jpeg_compressor == nullptr) {
    result.encoder_missing = true;
    return result;
  }
  // 4:2:0 chroma is what the Windows encoder writes at this quality; the previews look alike on both.
  const int percent = static_cast<int>(std::lround(std::fmin(std::fmax(quality * 100.0f, 1.0f), 100.0f)));
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  if (tjCompress2(jpeg_compressor, bgr, width, row_bytes, height, TJPF_BGR, &jpeg, &jpeg_size, TJSAMP_420, percent,
                  0) != 0) {
    tjFree(jpeg);
    result.code = kEncoderFailure;
    return result;
  }
  out.assign(jpeg, jpeg + jpeg_size);
  tjFree(jpeg);
  result.ok = true;
  return result;
}

ProcessRuntime::ProcessRuntime() = default;

ProcessRuntime::~ProcessRuntime() {
  if (jpeg_compressor != nullptr) {
    tjDestroy(jpeg_compressor);
    jpeg_compressor = nullptr;
  }
  (void)release_needed_;
}

}  // namespace tessaryn::receivers::platform
