// The listening loop: one SRT caller at a time, back to listening whenever it stalls, leaves or
// fails, until a stop event or a stop request.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/secret.hpp"

namespace tessaryn::wancapture {

// Each listening attempt waits at most 0.5 s for a caller; a connection gives up after 5 s without
// data. SRT takes both, and the latency, in microseconds.
inline constexpr int kListenTimeoutUs = 500000;
inline constexpr std::int64_t kStallNs = std::chrono::nanoseconds(std::chrono::seconds(5)).count();
inline constexpr int kMaxPacketBytes = 8388608;
inline constexpr std::size_t kMaxLibraryAllocation = 100663296;  // 96 MiB
inline constexpr std::chrono::seconds kErrorPause{1};
// Classification may read this many bytes from a caller (ten times the probe size) before the caller
// is refused; within the stall time a legitimate stream is classified after far fewer.
inline constexpr std::int64_t kMaxClassificationBytes = 10000000;
// Streams probing will look at: the video stream and a few companions (audio, data) of a real sender.
inline constexpr int kMaxProbedStreams = 16;

// wancapture's request file sits in the folder of its status document, whatever that folder is.
std::string stop_request_path_for_status(const std::string& status_path);

std::string listener_address(int port, int latency_ms);

// Runs from start-up to shutdown and returns the process's exit code.
int run_receiver(const Settings& settings, Passphrase& passphrase);

}  // namespace tessaryn::wancapture
