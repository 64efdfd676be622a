// The listening loop: one SRT caller at a time, back to listening whenever it stalls, leaves or
// fails, until a stop event or a stop request.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "receivers/common/clock.hpp"
#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/secret.hpp"

namespace tessaryn::wancapture {

// Each listening attempt waits at most 0.5 s for a caller; a connection gives up after 5 s without
// data. SRT takes both, and the latency, in microseconds.
inline constexpr int kListenTimeoutUs = std::chrono::microseconds(std::chrono::milliseconds(500)).count();
inline constexpr std::int64_t kStallNs = receivers::in_ns(std::chrono::seconds(5));
inline constexpr int kMaxPacketBytes = 8388608;
inline constexpr std::size_t kMaxLibraryAllocation = 100663296;  // 96 MiB
inline constexpr std::chrono::seconds kErrorPause{1};
// Classification may take this long and read this many bytes (ten times the probe size) before the
// caller is refused; a legitimate stream is classified after about a second of it.
inline constexpr std::int64_t kMaxClassificationNs = receivers::in_ns(std::chrono::seconds(10));
inline constexpr std::int64_t kMaxClassificationBytes = 10000000;
// Streams probing will look at: the video stream and a few companions (audio, data) of a real sender.
inline constexpr int kMaxProbedStreams = 16;

// wancapture's request file sits in the folder of its status document, whatever that folder is.
std::string stop_request_path_for_status(const std::string& status_path);

std::string listener_address(int port, int latency_ms);

// Runs from start-up to shutdown and returns the process's exit code.
int run_receiver(const Settings& settings, Passphrase& passphrase);

}  // namespace tessaryn::wancapture
