// Probe requests of a recorded capture (pcap or pcapng, radiotap link type),
// through the kernel module's own frame-to-record step, as kernel stand-in
// script steps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include "probe_frame.h"
}

struct ReplayStep {
    double offset;  // seconds since the capture's first probe request
    vorlask_probe probe;
};

struct ReplayCounts {
    uint64_t frames = 0;
    uint64_t probes = 0;
    uint64_t other = 0;
    uint64_t malformed = 0;
    uint64_t bad_fcs = 0;
    double first_time = 0;  // the first probe request's capture time, seconds since the epoch (UTC)
};

// Reads the whole capture. Fails (with `error` set) when it cannot be opened
// or its link type is not 802.11 with radiotap headers.
bool read_capture(const std::string& path, std::vector<ReplayStep>& steps, ReplayCounts& counts,
                  std::string& error);

// One stand-in script line for `step`, "OFFSET MAC SECOND_MAC RSSI BAND FREQ",
// its offset divided by `speed` and then `delay` added.
std::string script_line(const ReplayStep& step, double speed, double delay);
