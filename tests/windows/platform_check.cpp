// Checks of the receivers' Windows platform layer that only Windows can show: a published file held
// open by a reader, the clocks, the stop signals, a secret read from a pipe handle, the JPEG encoder
// with paths in both encodings. Prints one line per failed check; the exit code is the count.
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "receivers/common/atomic_file.hpp"
#include "receivers/common/clock.hpp"
#include "receivers/common/jpeg_encoder.hpp"
#include "receivers/common/platform.hpp"
#include "receivers/common/stop_request.hpp"

namespace tr = tessaryn::receivers;
namespace tp = tessaryn::receivers::platform;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (ok) return;
  ++failures;
  std::printf("FAILED: %s\n", what);
}

HANDLE hold_open(const char* path, DWORD share) {
  return ::CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void held_targets() {
  tr::write_text_atomically("held.json", "old\n");
  // A reader that shares reading and writing but not deletion makes every move fail; the copy over
  // the target still publishes, and the temporary file goes.
  HANDLE reader = hold_open("held.json", FILE_SHARE_READ | FILE_SHARE_WRITE);
  check(reader != INVALID_HANDLE_VALUE, "the reader opens the target");
  check(!tp::move_file_replacing("missing.tmp", "held.json"), "a move onto a held target fails");
  const std::int64_t start = tr::monotonic_ns();
  check(tr::write_text_atomically("held.json", "new\n").ok(), "published over a held target");
  const std::int64_t waited_ms = (tr::monotonic_ns() - start) / 1000000;
  check(waited_ms >= 90, "twenty moves 5 ms apart before the copy");
  check(tr::read_whole_file("held.json") == "new\n", "the copy carries the new content");
  check(!tp::file_exists("held.json.tmp"), "the temporary file is gone after the copy");
  ::CloseHandle(reader);

  // A reader that shares nothing: the copy fails too and the target stays.
  reader = hold_open("held.json", 0);
  check(tr::write_text_atomically("held.json", "newer\n").failure == tr::PublishFailure::replace,
        "refused while locked, as a failed replacement");
  check(!tp::file_exists("held.json.tmp"), "the temporary file is removed after a failed replacement");
  ::CloseHandle(reader);
  check(tr::read_whole_file("held.json") == "new\n", "the previous document stays");
  // Without a reader the move itself works again.
  check(tr::write_text_atomically("held.json", "last\n").ok(), "published once free");
  check(tr::read_whole_file("held.json") == "last\n", "the move carries the new content");
}

void clocks() {
  const std::int64_t a = tr::monotonic_ns();
  tp::sleep_ms(50);
  const std::int64_t b = tr::monotonic_ns();
  check(b - a >= 40000000 && b - a < 5000000000LL, "the monotonic clock measures a 50 ms sleep");
  const double wall = tr::wall_unix_seconds();
  const double now = static_cast<double>(std::time(nullptr));
  check(wall > now - 5 && wall < now + 5, "the precise system time is Unix time");
  check(tr::wall_unix_ns() % 100 == 0, "nanoseconds come from 100-nanosecond ticks");
}

void stop_signals() {
  tp::install_console_stop_handler();
  for (const int signal_number : {SIGINT, SIGTERM}) {
    tr::keep_running.store(1);
    std::raise(signal_number);
    check(tr::keep_running.load() == 0, signal_number == SIGINT ? "SIGINT clears keep_running"
                                                                : "SIGTERM clears keep_running");
  }
  tr::keep_running.store(1);
}

void pipe_handle() {
  HANDLE reading = nullptr, writing = nullptr;
  check(::CreatePipe(&reading, &writing, nullptr, 0) != 0, "a pipe");
  DWORD written = 0;
  ::WriteFile(writing, "abcdef", 6, &written, nullptr);
  ::CloseHandle(writing);
  const auto handle = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(reading));
  char buffer[16];
  check(tp::read_handle(handle, buffer, 4) == 4 && std::memcmp(buffer, "abcd", 4) == 0, "a partial read");
  check(tp::read_handle(handle, buffer, 16) == 2, "the rest");
  check(tp::read_handle(handle, buffer, 16) == 0, "the end of a pipe whose writer is gone");
  tp::close_handle(handle);
  check(tp::read_handle(handle, buffer, 16) == -1, "a closed handle reads as an error");
  char secret[] = "passphrase";
  tp::wipe_memory(secret, sizeof secret);
  check(secret[0] == 0 && secret[sizeof secret - 1] == 0, "wiped");
}

void jpeg_paths() {
  std::vector<std::uint8_t> bgrx(4 * 3 * 2, 0x80);
  // lancapture's paths are UTF-8: an e-acute in the file name reaches the file system as itself.
  const std::string utf8_name = "pr\xc3\xa9view.tmp.jpg";
  check(tr::encode_preview_jpeg_bgrx(3, 2, bgrx.data(), 12, 75, utf8_name).ok, "a 3x2 preview with a UTF-8 name");
  check(::GetFileAttributesW(L"pr\u00e9view.tmp.jpg") != INVALID_FILE_ATTRIBUTES, "the UTF-8 name on disk");
  check(tr::encode_preview_jpeg_bgrx(1, 1, bgrx.data(), 4, 75, "one.jpg").ok, "lancapture encodes 1x1");
  std::vector<std::uint8_t> rgb(3 * 1 * 1, 0x80);
  check(!tr::encode_preview_jpeg_rgb(rgb.data(), 1, 1, 3, "one_srt.jpg"), "wancapture refuses 1x1");
  check(!tp::file_exists("one_srt.jpg") && !tp::file_exists("one_srt.tmp.jpg"), "nothing written for 1x1");
  check(!tr::encode_preview_jpeg_bgrx(3, 2, bgrx.data(), 11, 75, "short_stride.jpg").ok, "a stride below 4 x width");
  const std::string long_name(300, 'x');
  const tr::PreviewEncoding too_long = tr::encode_preview_jpeg_bgrx(3, 2, bgrx.data(), 12, 75, long_name + ".jpg");
  check(!too_long.ok && !too_long.reportable, "a path beyond the 260-character buffer is refused, untold");
}

// Control files are regular files only, read within a bound; temporary files are created afresh.
void hostile_files() {
  ::CreateDirectoryA("a_folder", nullptr);
  check(tr::read_control_file("a_folder").status == tp::ReadStatus::not_regular, "a folder is no control file");
  check(tr::read_control_file("NUL").status == tp::ReadStatus::not_regular, "a device is no control file");
  check(tr::read_control_file("no_such_file").status == tp::ReadStatus::missing, "a missing control file");
  check(tr::write_text_atomically("big.txt", std::string(tr::kControlFileLimit + 1, 'a')).ok(), "a big file");
  check(tr::read_control_file("big.txt").status == tp::ReadStatus::too_large, "a control file past the limit");
  check(tr::stop_file_has_content("big.txt"), "an oversized stop file still asks to stop");
  check(tr::write_text_atomically("small.txt", "cam").ok() && tr::read_whole_file("small.txt") == "cam",
        "a plain control file");

  // A leftover temporary file (a failed publication's) is replaced, not reused nor a lasting block.
  check(tr::write_text_atomically("left.json.tmp", "stale stale stale").ok(), "a leftover");
  check(tr::write_text_atomically("left.json", "{}\n").ok() && tr::read_whole_file("left.json") == "{}\n",
        "published over a leftover temporary file");
  // A link planted at the temporary path is taken away, never written through (where wine lets a
  // link be made at all).
  tr::write_text_atomically("victim.txt", "untouched");
  if (::CreateSymbolicLinkA("linked.json.tmp", "victim.txt", 0)) {
    check(tr::write_text_atomically("linked.json", "{}\n").ok(), "published over a planted link");
    check(tr::read_whole_file("victim.txt") == "untouched", "the link's target is untouched");
  }
  // A temporary path held open by someone who shares nothing cannot be created: a typed failure.
  HANDLE held = ::CreateFileA("blocked.json.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const tr::PublishResult blocked = tr::write_text_atomically("blocked.json", "{}\n");
  check(blocked.failure == tr::PublishFailure::open_temporary && blocked.error_number == EACCES,
        "a held temporary path fails as permission denied");
  ::CloseHandle(held);
}

}  // namespace

int main() {
  tp::ProcessRuntime runtime;
  held_targets();
  clocks();
  stop_signals();
  pipe_handle();
  jpeg_paths();
  hostile_files();
  if (failures == 0) std::printf("all checks passed\n");
  return failures;
}
