// The collector's two clocks, read together at one point. Durations (the
// forget time, an unfinished scan's expiry, the window over which an access
// point's clock is judged, republishing) run on the monotonic one, which a
// step of the wall clock leaves alone; the wall clock only places, prints
// and publishes times of day.
#pragma once

#include <cstdint>

namespace fleet {

struct FleetTime {
    int64_t wall = 0;  // seconds since the epoch: times of day
    int64_t mono = 0;  // seconds on a clock that never steps: durations
    FleetTime() = default;
    // Both clocks reading the same: a collector whose wall clock never stepped.
    FleetTime(int64_t both) : wall(both), mono(both) {}  // NOLINT: implicit on purpose
    FleetTime(int64_t wall_seconds, int64_t mono_seconds)
        : wall(wall_seconds), mono(mono_seconds) {}
};

// Now on both clocks.
FleetTime fleet_now();

}  // namespace fleet
