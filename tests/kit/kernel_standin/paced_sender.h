// Sends a datagram source to the daemon on its schedule.
#pragma once

#include <time.h>

#include <cstdint>

#include "datagram_source.h"
#include "netlink_endpoint.h"

namespace standin {

struct SendStats {
    uint64_t sent = 0;      // datagrams the kernel took
    uint64_t failures = 0;  // sends that failed (e.g. the daemon's queue was full)
    double seconds = 0;     // from the first send to the end of the last
};

// Sends every datagram of `source` to `port`, each at `start` + its time on
// CLOCK_MONOTONIC (absolute deadlines, so pacing errors never add up). A
// datagram whose deadline is less than a short slack away goes out at once,
// so high rates go out in batches (one sendmmsg call each) between sleeps.
// With `unlimited` the times are ignored.
SendStats send_all(DatagramSource& source, NetlinkEndpoint& endpoint, uint32_t port,
                   const struct timespec& start, bool unlimited);

struct timespec monotonic_now();

}  // namespace standin
