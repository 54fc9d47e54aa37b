// The crowd estimate of the persistent rule: how many devices were near over
// the last `memory` seconds. Stations are devices of their own; the devices
// behind randomised addresses are estimated from their bursts. A phone sends
// its probe requests in bursts, each with one randomised address and often
// several addresses starting together (one per radio or per scan list), and a
// phone that is near sends a burst about every 45 seconds (the median over
// single phones recorded alone). So:
//
//   estimate = strong stations + round(strong bursts over memory / round(memory / 45 s))
//
// where "strong" means heard at -80 dBm or stronger (in the room, not beyond a
// wall; records without a signal strength count as strong) and a burst is a
// run of randomised addresses whose latest hearings lie within one second of
// each other. An address that an earlier scan within memory heard already
// adds no burst: its device was counted when it was new. The second and the
// 45 seconds are the defaults of [crowd] burst_gap and burst_interval: in a
// room where phones lie idle for hours they burst less often than a phone
// recorded alone, and bursts of several phones run together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

constexpr int crowd_rssi_floor = -80;
constexpr int64_t crowd_burst_gap_ms = 1000;
constexpr int64_t crowd_burst_interval_ms = 45000;

// The figures of one scan.
struct CrowdFigures {
    uint32_t randomised = 0;  // distinct non-station addresses heard since the last scan
    uint32_t estimate = 0;    // devices near over the last memory
};

class CrowdEstimate {
  public:
    // `gap_ms` and `interval_ms` replace crowd_burst_gap_ms and
    // crowd_burst_interval_ms (an interval of 0 counts as 1 ms).
    explicit CrowdEstimate(uint32_t memory_s, int64_t gap_ms = crowd_burst_gap_ms,
                           int64_t interval_ms = crowd_burst_interval_ms)
        : memory_ms_(int64_t{memory_s} * 1000),
          gap_ms_(gap_ms),
          interval_ms_(interval_ms < 1 ? 1 : interval_ms) {}

    // A randomised (non-station) address heard since the last scan, last at
    // `when_ms` with `rssi` dBm; `returning` when an earlier scan within
    // memory heard it already (its device is counted by that burst).
    void hear_randomised(int64_t when_ms, int rssi, bool returning = false);
    // Ends the scan at `now_ms` with `strong_stations` known.
    CrowdFigures close_scan(int64_t now_ms, size_t strong_stations);

  private:
    struct ScanBursts {
        int64_t at_ms;
        uint32_t bursts;
    };
    int64_t memory_ms_;
    int64_t gap_ms_;
    int64_t interval_ms_;
    uint32_t randomised_ = 0;
    std::vector<int64_t> strong_times_;  // of this scan's strong randomised addresses
    std::deque<ScanBursts> history_;     // one per scan within memory
    uint64_t bursts_in_memory_ = 0;
};
