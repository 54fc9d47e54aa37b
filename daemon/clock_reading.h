// The daemon's two clocks, read in one place. Every duration (the scan
// interval, a station's age, the persistent rule's min_span and memory, the
// crowd estimate's memory) is measured on the monotonic clock, which a step
// of the wall clock never moves: a router without a real-time clock boots at
// 1970 or at its build date and steps to the right time when NTP answers,
// often after the daemon has started, and NTP may step it again later. The
// wall clock only gives the times of day that are printed and published.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct ClockReading {
    int64_t monotonic_ms;  // milliseconds since an arbitrary moment, never going back
    struct timeval wall;   // the time of day, which may step either way
};

// Both clocks, read one right after the other.
ClockReading read_clocks();

// A reading that shows `monotonic_ms` on the monotonic clock and `wall_ms`
// (milliseconds since 1970) on the wall clock: for replays on virtual time
// and for tests.
ClockReading clock_reading_at(int64_t monotonic_ms, int64_t wall_ms);

// Where read_clocks takes its readings from: the system's clocks (the
// default, and again after set_clock_source(nullptr, nullptr)) or `source`,
// called with `context`, for tests that step the wall clock. Set it while no
// other thread reads the clocks.
using ClockSource = ClockReading (*)(void* context);
void set_clock_source(ClockSource source, void* context);
