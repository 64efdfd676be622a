// How a receiver is told to stop: a console stop event, or a stop-request file the agent or the
// launcher writes next to the published documents.
#pragma once

#include <atomic>
#include <string>

#include "receivers/common/receiver_kind.hpp"

namespace tessaryn::receivers {

// 1 from start-up; 0 once a stop event or a stop request arrived. Signal and console handlers store
// into it, so it must stay a lock-free atomic.
extern std::atomic<int> keep_running;
static_assert(std::atomic<int>::is_always_lock_free);

// lancapture's fixed request file.
inline constexpr const char* kLancaptureStopRequestPath = "app/static/ndi_stop.request";

// wancapture's request file sits in the folder of its status document, whatever that folder is.
std::string stop_request_path_for_status(const std::string& status_path);

// lancapture takes only a non-empty file as a request (its agent may leave an empty one behind);
// wancapture takes any file that exists, empty or not.
bool stop_requested(const std::string& request_path, Receiver receiver);

}  // namespace tessaryn::receivers
