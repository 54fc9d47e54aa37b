// A keep rule in place of the core's count rule (which applies where a
// session has none): it makes each scan pass, prints the summary at a timed
// stop, and tells the fold which addresses are stations it knows, so that a
// full table still takes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel_channel.h"
#include "probe_table.h"
#include "scan_sink.h"
#include "session_counters.h"

class KeepRule {
  public:
    virtual ~KeepRule() = default;

    // One scan pass over `table` under its write lock: each entry the rule
    // keeps goes to each sink's entry callback; then what was lost since the
    // last pass is said at verbosity 1 and the totals go to each sink's end
    // callback. The caller is the scan worker.
    virtual ScanTotals scan(ProbeTable& table, const ScanSinks& sinks, SessionCounters& counters,
                            const KernelChannel& kernel) = 0;
    // The summary printed after a timed stop.
    virtual void print_summary(ProbeTable& table) const = 0;
    // Whether `mac` is a station the rule knows; asked by the fold, under the
    // table's write lock, only when the table is full.
    virtual bool known_station(const uint8_t* mac) const = 0;
    // The most stations the rule can know: the entries a full table may take
    // beyond its capacity for them.
    virtual size_t station_room() const = 0;
};

// The fold's question "is this a known station?" answered by `rule`.
inline KnownStations known_stations_of(const KeepRule& rule) {
    KnownStations known;
    known.known = [](const void* context, const uint8_t* mac) {
        return static_cast<const KeepRule*>(context)->known_station(mac);
    };
    known.context = &rule;
    known.room = rule.station_room();
    return known;
}
