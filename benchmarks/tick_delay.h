// Tick delay: how late a 1 s repeating timer, started like the daemon's tick,
// runs while the scan worker hands every report of a scan to the loop thread.
//
// First --baseline-secs ticks with no scan, then --scans scans of a table in
// which every entry is kept. The first scan is signalled (as the scan timer
// does) right after a tick, the daemon's own phase: its scan timer and its
// tick start together and both run whole seconds. The median sending so far,
// L (from the signal to the last report out of the interface), then places
// scan k so that a tick comes due at L * k / scans after its signal,
// k = 1 .. scans - 1, spread over the sending (over the whole second when L
// is longer). A prepare handle times every loop iteration; one that took over
// 1 ms is kept with its busy part (not waiting in the poll) and the datagrams
// the loop thread sent in it.
#pragma once

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "handover_harness.h"

struct TickSample {
    uint64_t due_ns;
    uint64_t fired_ns;
};

// One loop iteration, from one prepare phase to the next.
struct BusyIteration {
    uint64_t start_ns;
    uint64_t end_ns;
    uint64_t busy_ns;  // minus the time spent waiting in the poll
    uint64_t sent;     // datagrams the loop thread sent in it
};

struct ScanWindow {
    int offset_ms;      // after a tick
    uint64_t start_ns;  // the scan worker signalled
    uint64_t end_ns;    // every report out of the interface
    uint64_t sent;
};

struct TickDelay {
    Harness* harness = nullptr;
    uv_timer_t tick;
    uv_timer_t trigger;
    uv_prepare_t prepare;

    // Loop thread only until the loop has ended.
    uint64_t tick_due_ms = 0;
    std::vector<TickSample> ticks;
    std::vector<BusyIteration> busy;
    uint64_t last_prepare_ns = 0;
    uint64_t last_idle_ns = 0;
    uint64_t sent_at_prepare = 0;

    std::atomic<uint32_t> tick_count{0};
    std::atomic<int> arm_offset_ms{-1};  // set by the control thread, taken by a tick
    std::atomic<uint64_t> scan_started_ns{0};

    // Control thread only until the loop has ended.
    std::vector<ScanWindow> windows;
    uint64_t baseline_start_ns = 0;
    uint64_t baseline_end_ns = 0;
};

// Starts the tick, the scan trigger and the iteration timing on the
// harness's loop, before it runs.
void start_tick_delay(Harness& h, TickDelay& t);
// On the control thread while the loop runs: the baseline, then the scans.
void measure_tick_delay(Harness& h, TickDelay& t);
// Its figures: tick_delay_report.h.
