#include "fleet_clock.h"

#include <ctime>

namespace fleet {

FleetTime fleet_now() {
    FleetTime now;
    now.wall = static_cast<int64_t>(time(nullptr));
    struct timespec ts;
    // CLOCK_MONOTONIC cannot fail on Linux; should it, durations stand still
    // rather than follow the wall clock.
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
        now.mono = static_cast<int64_t>(ts.tv_sec);
    }
    return now;
}

}  // namespace fleet
