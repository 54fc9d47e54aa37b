#include "clock_reading.h"

#include <time.h>

namespace {

ClockSource clock_source = nullptr;
void* clock_context = nullptr;

}  // namespace

ClockReading read_clocks() {
    if (clock_source != nullptr) {
        return clock_source(clock_context);
    }
    ClockReading reading{};
    struct timespec now;
    // Neither call can fail with these arguments on Linux; a failure would
    // leave the reading at zero rather than at an undefined value.
    if (clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
        reading.monotonic_ms = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    }
    if (gettimeofday(&reading.wall, nullptr) != 0) {
        reading.wall = timeval{0, 0};
    }
    return reading;
}

ClockReading clock_reading_at(int64_t monotonic_ms, int64_t wall_ms) {
    ClockReading reading;
    reading.monotonic_ms = monotonic_ms;
    // Seconds rounded down, so that the microseconds stay within [0, 10^6).
    int64_t seconds = wall_ms / 1000;
    int64_t rest = wall_ms % 1000;
    if (rest < 0) {
        seconds -= 1;
        rest += 1000;
    }
    reading.wall.tv_sec = static_cast<time_t>(seconds);
    reading.wall.tv_usec = static_cast<suseconds_t>(rest * 1000);
    return reading;
}

void set_clock_source(ClockSource source, void* context) {
    clock_source = source;
    clock_context = context;
}
