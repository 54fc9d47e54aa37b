// One scan under the persistent rule: every address heard since the last
// scan is heard by the station tiers; stations are passed on in table order,
// the others feed the crowd estimate; then the table starts empty again.
#pragma once

#include <cstdint>

#include "persistent/crowd_estimate.h"
#include "probe_table.h"
#include "scan_sink.h"
#include "persistent/station_tiers.h"

struct PersistentRule {
    PersistentRule(uint32_t min_span_s, uint32_t memory_s)
        : tiers(min_span_s, memory_s), crowd(memory_s) {}
    StationTiers tiers;
    CrowdEstimate crowd;
};

struct PersistentScanResult {
    CrowdFigures crowd;
    size_t removed = 0;            // entries taken out of the table (all of them)
    size_t stations = 0;           // of those, the stations handed to the sinks
    uint64_t removed_records = 0;  // probe requests counted in them
};

int64_t ms_of(const struct timeval& tv);

// The table's question "is this a known station?" answered by `tiers`, with
// room for every station they can hold.
KnownStations known_stations_of(const StationTiers& tiers);

// Stations silent for longer than the memory are forgotten first. Each
// station entry is marked 1 and handed to each sink's entry callback before
// its reported count is updated, as the count rule does with kept entries;
// every record of the table is then destroyed and the table emptied.
PersistentScanResult scan_entries_persistent(ProbeList& list, PersistentRule& rule, int64_t now_ms,
                                             const ScanSinks& sinks);
