#include "receivers/common/clock.hpp"

#include "receivers/common/platform.hpp"

namespace tessaryn::receivers {

std::int64_t monotonic_ns() { return platform::monotonic_ns(); }

double wall_unix_seconds() { return unix_seconds_from_ticks(platform::wall_ticks_100ns()); }

std::int64_t wall_unix_ns() { return unix_ns_from_ticks(platform::wall_ticks_100ns()); }

}  // namespace tessaryn::receivers
