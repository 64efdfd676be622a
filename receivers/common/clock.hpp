// The receivers' two time sources, never mixed: intervals, timeouts and rate limits on the monotonic
// clock; wall-clock times only inside published documents.
#pragma once

#include <chrono>
#include <cstdint>

namespace tessaryn::receivers {

std::int64_t monotonic_ns();

// Durations are written with std::chrono; the clocks count plain nanoseconds, and this is the one
// place a duration becomes a count of them.
constexpr std::int64_t in_ns(std::chrono::nanoseconds duration) { return duration.count(); }

// Unix time from the precise system time, in the two forms the documents use.
double wall_unix_seconds();
std::int64_t wall_unix_ns();

// The conversions from 100-nanosecond ticks since 1970, kept apart so that they can be checked.
constexpr double unix_seconds_from_ticks(std::int64_t ticks) { return static_cast<double>(ticks) / 10000000.0; }
constexpr std::int64_t unix_ns_from_ticks(std::int64_t ticks) { return ticks * 100; }

}  // namespace tessaryn::receivers
