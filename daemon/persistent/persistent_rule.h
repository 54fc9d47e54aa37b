// The persistent keep rule, switched on by `[scan] rule = persistent` in /etc/vorlask.conf.
// An address is reported as a station once it has been heard at two moments
// at least min_span apart within memory (station_tiers.h), and the crowd
// near the radio is estimated from the other addresses (crowd_estimate.h).
// At every scan every address heard since the last one is heard by the
// station tiers; stations are passed on in table order, the others feed the
// crowd estimate; then the table starts empty again. The [crowd] section
// (crowd_config.h) leaves its fixed stations out of the estimate and turns
// its devices into people.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "keep_rule.h"
#include "persistent/crowd_config.h"
#include "persistent/crowd_estimate.h"
#include "persistent/station_tiers.h"
#include "probe_table.h"
#include "scan_sink.h"

class Confile;

class PersistentRule : public KeepRule {
  public:
    PersistentRule(uint32_t min_span_s, uint32_t memory_s, CrowdConfig people = CrowdConfig{})
        : tiers(min_span_s, memory_s),
          crowd(crowd_estimate_of(people, memory_s)),
          people(std::move(people)),
          memory_s_(memory_s) {}

    // The stations heard since the last pass go to the sinks in table order,
    // the table is emptied, the crowd line is printed at verbosity 1 (its
    // estimate over the memory, and the people it makes when [crowd] scales
    // it), and the totals with the crowd figures go to each sink's end
    // callback.
    ScanTotals scan(ProbeTable& table, const ScanSinks& sinks, SessionCounters& counters,
                    const KernelChannel& kernel) override;
    // The stations known now (heard within the memory), in the count rule's
    // format, each row showing the probe requests heard since the address
    // became a station.
    void print_summary(ProbeTable& table) const override;
    bool known_station(const uint8_t* mac) const override { return tiers.find(mac) != nullptr; }
    // Room for every station the tiers can hold.
    size_t station_room() const override { return tiers.station_limit(); }

    StationTiers tiers;
    CrowdEstimate crowd;
    CrowdConfig people;  // the fixed stations left out, and devices to people

  private:
    uint32_t memory_s_;
};

// Reads section [scan] of `config` (named `path` in messages): under rule =
// persistent `rule` becomes the persistent rule with the file's spans and its
// section [crowd]; under
// rule = count (the default, also without the section) it is left empty. On a
// bad value says which on standard error and returns false.
bool read_keep_rule(const Confile& config, const char* path, std::unique_ptr<KeepRule>& rule);

struct PersistentScanResult {
    CrowdFigures crowd;            // its estimate without the [crowd] list's stations
    double people = 0;             // that estimate in people
    size_t removed = 0;            // entries taken out of the table (all of them)
    size_t stations = 0;           // of those, the stations handed to the sinks
    uint64_t removed_records = 0;  // probe requests counted in them
};

// The pass over the entries alone (the scan above, and vorlask-evaluate's
// replay), at `now_ms` on the entries' monotonic clock: stations silent for
// longer than the memory are forgotten first. The strong stations of the
// rule's not_people list are left out of the crowd estimate.
// Each station entry is marked 1 and handed to each sink's entry callback
// before its reported count is updated, as the count rule does with kept
// entries; every record of the table is then destroyed and the table emptied.
PersistentScanResult scan_entries_persistent(ProbeList& list, PersistentRule& rule, int64_t now_ms,
                                             const ScanSinks& sinks);
