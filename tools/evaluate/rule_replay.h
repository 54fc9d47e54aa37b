// The daemon's probe table and scan, run over a capture's probe requests on
// virtual time: records are folded at their capture time and a scan runs
// every `timeout` seconds, under either keep rule.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "persistent/crowd_config.h"
#include "replay_capture.h"

using Mac = std::array<uint8_t, 6>;

struct RuleSettings {
    bool persistent = false;
    uint32_t timeout = 10;
    uint16_t randommax = 2;
    uint32_t min_span = 60;
    uint32_t memory = 600;
    double speed = 1;             // capture seconds per virtual second
    std::vector<Mac> not_people;  // stations left out of the crowd estimate
    CrowdConfig crowd;            // its burst gap and interval (not_people: above)
};

struct ScanPoint {
    double offset;      // seconds since the first probe request
    uint32_t estimate;  // crowd estimate (persistent rule)
};

struct RuleOutcome {
    std::set<Mac> reported;     // every address reported at least once
    uint64_t station_rows = 0;  // rows printed by all scans
    std::vector<ScanPoint> scans;
};

// Folds `steps` (in order) and scans, ending with one scan after the last
// probe request.
RuleOutcome replay_rule(const std::vector<ReplayStep>& steps, const RuleSettings& settings);
