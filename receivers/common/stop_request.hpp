// How a receiver is told to stop: a console stop event, or a stop-request file the agent or the
// launcher writes next to the published documents. Which file, and which of the two tests below
// counts as a request, is each program's own rule.
#pragma once

#include <atomic>
#include <string>

namespace tessaryn::receivers {

// 1 from start-up; 0 once a stop event or a stop request arrived. Signal and console handlers store
// into it, so it must stay a lock-free atomic.
extern std::atomic<int> keep_running;
static_assert(std::atomic<int>::is_always_lock_free);

// The request file holds at least one byte (read as a control file: a FIFO, a link or a device
// there is no request; a file past the control-file limit is one, it is not empty).
bool stop_file_has_content(const std::string& request_path);
// Something stands at the request path, empty or not.
bool stop_file_exists(const std::string& request_path);

}  // namespace tessaryn::receivers
