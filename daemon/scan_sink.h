// The outputs of a scan. The scan decides which entries stay; each output
// (the console row, the multicast report, ...) is a sink that is handed
// every kept entry in table order and, once the scan is over, its totals.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeEntry;

// What one scan pass did, and what was lost before it since the last one.
struct ScanTotals {
    size_t table_size;  // entries before the scan
    size_t kept;
    size_t dropped;
    uint32_t turned_away_table;  // new addresses the full table turned away
    uint32_t turned_away_queue;  // records the full queue turned away
    uint32_t kernel_lost;        // probe messages lost in the kernel
    uint32_t not_from_kernel;    // netlink datagrams from another port, turned away
    // Under [scan] rule = persistent only (has_crowd set): the distinct
    // addresses heard since the last scan that are not stations, the estimate
    // of devices near over the memory, those devices in people ([crowd]), and
    // the new stations the full stations' tier turned away since the last
    // scan.
    bool has_crowd;
    uint32_t crowd_randomised;
    uint32_t crowd_estimate;
    double crowd_people;
    uint32_t turned_away_stations;
};

// Either callback may be null. `entry` is called under the table's write
// lock, before the entry's reported count is brought up to date, so the
// entry still shows the rise that kept it; it must not wait for the loop
// thread. `end` is called after the lock is released.
struct ScanSink {
    void (*entry)(void* context, const ProbeEntry& entry);
    void (*end)(void* context, const ScanTotals& totals);
    void* context;
};

// The sinks of a scan, called in the order they were added.
struct ScanSinks {
    static constexpr size_t capacity = 4;
    ScanSink sinks[capacity];
    size_t count;
};

// Appends `sink`; returns false (and adds nothing) when all places are taken.
inline bool add_scan_sink(ScanSinks& sinks, const ScanSink& sink) {
    if (sinks.count == ScanSinks::capacity) {
        return false;
    }
    sinks.sinks[sinks.count++] = sink;
    return true;
}
