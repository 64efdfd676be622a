// The receiver's control loop: the agent's control files in, the source list and status out, and
// the connection to the selected source kept up with its timeouts and reconnections.
#pragma once

#include "receivers/lancapture/loop_state.hpp"

namespace tessaryn::lancapture {

class ControlLoop {
 public:
  ControlLoop(const ndi::EntryPoints& ndi, void* finder, void* receiver, bool latency_on,
              const LoopClock& clock = system_loop_clock());

  // Iterates until a stop event or a stop request.
  void run();
  // One iteration; false when a stop request ended the loop before anything else was done.
  bool run_once();
  // Disconnects and publishes the final "stopped" status.
  void shutdown();

  const Session& session() const { return session_; }

 private:
  void take_selection(std::int64_t now);
  bool refresh_requested();
  void poll_sources(bool refresh);
  void keep_connection(std::int64_t now);
  void check_staleness(std::int64_t now2);
  void print_statistics(std::int64_t now2);
  void write_status(bool running);

  Session session_;
};

}  // namespace tessaryn::lancapture
