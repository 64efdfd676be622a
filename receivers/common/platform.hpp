// The system calls behind the receivers' publishing, one declaration each. The rules built on them
// (document layout, retry counts, temporary names, sizes) live in portable code; a system supplies
// only these calls: platform/posix.cpp on POSIX, platform/windows.cpp on Windows, which maps them
// onto MoveFileExA (replace existing, write through), CopyFileA, DeleteFileA, GetFileAttributesA,
// CreateFileW with share modes and without following reparse points, FlushFileBuffers,
// Sleep, QueryPerformanceCounter, GetSystemTimePreciseAsFileTime, SetConsoleCtrlHandler,
// ReadFile/CloseHandle, SecureZeroMemory, CoInitializeEx and the WIC JPEG encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tessaryn::receivers::platform {

// Files. Paths are narrow byte strings, used as given.
bool move_file_replacing(const std::string& source, const std::string& target);
bool copy_file_replacing(const std::string& source, const std::string& target);
void delete_file(const std::string& path);  // a missing file is fine; the result is not reported
bool file_exists(const std::string& path);

// How a narrow path becomes the system's wide path: lancapture's paths are UTF-8, wancapture's are
// in the ANSI code page its command line arrives in. POSIX takes the bytes as given.
enum class PathText { utf8, ansi };

// Control files come from another process and may be anything: a FIFO that blocks an open for good,
// a link to a device that never ends, a file far larger than any request. They are opened without
// blocking and without following a link (a reparse point on Windows), taken only when they are
// regular files, and read up to `limit` bytes; a longer file is refused whole rather than cut.
enum class ReadStatus { ok, missing, not_regular, too_large, failed };
struct FileRead {
  ReadStatus status = ReadStatus::missing;
  std::string bytes;     // the whole content when ok, else empty
  int error_number = 0;  // the system's error number when failed
};
FileRead read_regular_file(const std::string& path, std::size_t limit);

// Temporary files are created, never reused: whatever stands at the path (a planted link, a FIFO,
// a leftover of an earlier failed publication) is removed first without being followed, and the
// file is then created exclusively, so that a link put there meanwhile makes the creation fail
// instead of being written through. The bytes are written whole and, when asked, committed to disk.
enum class WriteStage {
  none,
  path,  // the path cannot be given to the system (on Windows: not convertible into its 260-unit buffer)
  open,
  write,
};
struct FileWrite {
  WriteStage failed_at = WriteStage::none;
  int error_number = 0;  // the system's error number of the failing step
  bool ok() const { return failed_at == WriteStage::none; }
};
FileWrite write_new_file(const std::string& path, const void* data, std::size_t size, bool commit,
                         PathText path_text = PathText::ansi);

void sleep_ms(int milliseconds);

// Clocks. The wall clock counts 100-nanosecond ticks since 1970-01-01 00:00 UTC.
std::int64_t monotonic_ns();
std::int64_t wall_ticks_100ns();

// Console stop events (Ctrl+C, Ctrl+Break, console close, shutdown; on POSIX SIGINT, SIGTERM and
// SIGHUP) store 0 into `keep_running` and nothing else. On POSIX they interrupt a blocking call
// rather than restart it, so that a wait never outlives a stop.
void install_console_stop_handler();

// Inherited descriptors and handles, for the one-time secret record. A read returns the byte count,
// 0 at the end of the data, or -1 on an error; an interrupted read is repeated.
long read_descriptor(int descriptor, void* buffer, std::size_t size);
void close_descriptor(int descriptor);
long read_handle(std::int64_t handle, void* buffer, std::size_t size);
void close_handle(std::int64_t handle);

// Overwrites memory with zero bytes in a way the compiler may not drop.
void wipe_memory(void* data, std::size_t size);

// JPEG encoding of a 24-bit B, G, R image stored top to bottom, rows `row_bytes` apart, with the given
// quality (0 to 1), into memory; the caller writes the file. The encoder behind it is created on first
// use, kept for the life of the process, and created again on a later call when its creation failed.
struct JpegResult {
  bool ok = false;
  bool encoder_missing = false;  // the encoder could not be created; nothing was attempted
  unsigned long code = 0;        // the failing call's result code when not ok (an HRESULT on Windows)
};
JpegResult encode_bgr24_jpeg(const std::uint8_t* bgr, int width, int height, int row_bytes, float quality,
                             std::vector<std::uint8_t>& jpeg);

// An HRESULT-shaped code for a failing file operation, so that messages read alike on both systems.
unsigned long file_failure_code(int error_number);

// The per-process runtime the encoder needs (a COM apartment on Windows). Construct once at start-up;
// the destructor releases the encoder first, then the runtime, as the acquisition order requires.
class ProcessRuntime {
 public:
  ProcessRuntime();
  ~ProcessRuntime();
  ProcessRuntime(const ProcessRuntime&) = delete;
  ProcessRuntime& operator=(const ProcessRuntime&) = delete;

 private:
  bool release_needed_ = false;
};

}  // namespace tessaryn::receivers::platform
