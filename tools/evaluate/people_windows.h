// A labelled capture cut into windows (10 minutes unless told otherwise): the people present, the
// crowd estimate and the three plain counts it is measured against.
#pragma once

#include <set>
#include <vector>

#include "rule_replay.h"

struct PeopleWindow {
    long index = 0;          // windows since the capture's first probe request
    double start = 0;        // its start, seconds since the epoch (UTC)
    double people = 0;       // mean occupancy of its labelled frames
    double devices = 0;      // crowd estimate of the scan that closes it
    unsigned addresses = 0;  // distinct addresses heard at -80 dBm or stronger
    unsigned any = 0;        // distinct addresses, any signal
    unsigned probes = 0;     // probe requests at -80 dBm or stronger
};

// The `window_s` windows of `steps` (offsets from `first_time`) that hold a labelled
// frame (`people` per step, NaN where none) and end at or before a scan of
// `scans`; addresses of `not_people` count in no window.
std::vector<PeopleWindow> people_windows(const std::vector<ReplayStep>& steps, double first_time,
                                         const std::vector<double>& people,
                                         const std::vector<ScanPoint>& scans,
                                         const std::set<Mac>& not_people, double window_s);
