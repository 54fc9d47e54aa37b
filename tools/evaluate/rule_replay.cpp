#include "rule_replay.h"

#include <cstring>
#include <memory>

#include "persistent/persistent_rule.h"
#include "probe_table.h"
#include "scan.h"

namespace {

// Virtual time starts here, on both clocks of a reading (clock_reading.h), so
// that every time is a positive timeval.
constexpr int64_t virtual_epoch_ms = 1000000000000LL;

// The scan's one sink here: every reported address into the outcome.
void collect(void* context, const ProbeEntry& entry) {
    auto* outcome = static_cast<RuleOutcome*>(context);
    Mac mac;
    memcpy(mac.data(), entry.record->mac, 6);
    outcome->reported.insert(mac);
    ++outcome->station_rows;
}

ProbeRecord* record_of(const vorlask_probe& p) {
    auto* r = new ProbeRecord;
    memcpy(r->mac, p.mac, 6);
    memcpy(r->second_mac, p.second_mac, 6);
    r->rssi = p.rssi;
    r->band = p.band;
    r->freq = p.freq;
    return r;
}

}  // namespace

RuleOutcome replay_rule(const std::vector<ReplayStep>& steps, const RuleSettings& settings) {
    RuleOutcome outcome;
    ScanSinks sinks{};
    add_scan_sink(sinks, ScanSink{collect, nullptr, &outcome});
    ProbeList list;
    ProbeIndex index;
    std::unique_ptr<PersistentRule> rule;
    KnownStations known;  // a full table still takes a known station, as in the daemon
    if (settings.persistent) {
        CrowdConfig fixed = settings.crowd;  // the rule leaves these stations out of its estimate
        fixed.not_people.assign(settings.not_people.begin(), settings.not_people.end());
        rule = std::make_unique<PersistentRule>(settings.min_span, settings.memory, fixed);
        known = known_stations_of(*rule);
    }
    const int64_t period_ms = int64_t{settings.timeout} * 1000;
    int64_t next_scan = virtual_epoch_ms + period_ms;
    auto scan = [&](int64_t now_ms) {
        ScanPoint point{static_cast<double>(now_ms - virtual_epoch_ms) / 1000 * settings.speed, 0};
        if (rule) {
            PersistentScanResult r = scan_entries_persistent(list, *rule, now_ms, sinks);
            point.estimate = r.crowd.estimate;
        } else {
            scan_entries(list, settings.randommax, sinks);
        }
        index.rebuild(list);
        outcome.scans.push_back(point);
    };
    for (const ReplayStep& step : steps) {
        const int64_t at =
            virtual_epoch_ms + static_cast<int64_t>(step.offset / settings.speed * 1000);
        while (at >= next_scan) {
            scan(next_scan);
            next_scan += period_ms;
        }
        fold_probe(list, index, record_of(step.probe), clock_reading_at(at, at),
                   probe_table_capacity, &known);
    }
    scan(next_scan);
    for (ProbeEntry& entry : list) {
        delete entry.record;
    }
    return outcome;
}
