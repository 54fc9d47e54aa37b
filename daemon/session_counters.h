// What the daemon turned away or lost, counted by the kernel channel, the
// receive worker and the scan, for the scan's report and for anyone checking
// that every probe message is accounted for.
#pragma once

#include <atomic>
#include <cstdint>

struct SessionCounters {
    std::atomic<uint64_t> queued{0};                // records handed to the receive worker
    std::atomic<uint64_t> folded{0};                // records the receive worker took
    std::atomic<uint32_t> queue_full{0};            // records the full queue turned away
    std::atomic<uint32_t> table_full{0};            // new addresses the full table turned away
    std::atomic<uint64_t> scan_dropped{0};          // entries the scans removed
    std::atomic<uint64_t> scan_dropped_records{0};  // records counted in those entries
    std::atomic<uint32_t> poll_errors{0};           // error wake-ups of the netlink poll
    std::atomic<uint32_t> overrun_errors{0};        // overruns reported by the socket
    std::atomic<uint32_t> not_from_kernel{0};       // datagrams that another port sent
    std::atomic<int> nl_fd{-1};                     // the netlink descriptor once bound
    // What the scans have reported so far; touched by the scan worker only.
    uint32_t queue_full_reported = 0;
    uint32_t table_full_reported = 0;
    uint32_t overrun_drops_reported = 0;
    uint32_t not_from_kernel_reported = 0;
};
