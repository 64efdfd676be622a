// The listening loop: one SRT caller at a time, back to listening whenever it stalls, leaves or
// fails, until a stop event or a stop request.
#pragma once

#include <string>

#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/secret.hpp"

namespace tessaryn::wancapture {

// Each listening attempt waits at most 0.5 s for a caller; a connection gives up after 5 s without
// data. SRT takes both, and the latency, in microseconds.
inline constexpr int kListenTimeoutUs = 500000;
inline constexpr std::int64_t kStallNs = 5000000000LL;
inline constexpr int kMaxPacketBytes = 8388608;
inline constexpr std::size_t kMaxLibraryAllocation = 100663296;  // 96 MiB

std::string listener_address(int port, int latency_ms);

// Runs from start-up to shutdown and returns the process's exit code.
int run_receiver(const Settings& settings, Passphrase& passphrase);

}  // namespace tessaryn::wancapture
