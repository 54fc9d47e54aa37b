#include "persistent/persistent_scan.h"

int64_t ms_of(const struct timeval& tv) {
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

KnownStations known_stations_of(const StationTiers& tiers) {
    KnownStations known;
    known.known = [](const void* context, const uint8_t* mac) {
        return static_cast<const StationTiers*>(context)->find(mac) != nullptr;
    };
    known.context = &tiers;
    known.room = tiers.station_limit();
    return known;
}

PersistentScanResult scan_entries_persistent(ProbeList& list, PersistentRule& rule, int64_t now_ms,
                                             const ScanSinks& sinks) {
    PersistentScanResult result;
    rule.tiers.forget_silent(now_ms);
    for (ProbeEntry& entry : list) {
        const int64_t when = ms_of(entry.last_seen);
        const int64_t first = ms_of(entry.first_seen);
        const uint32_t delta = entry.count - entry.reported_count;
        const bool returning = rule.tiers.recent_candidate(entry.record->mac, first);
        if (rule.tiers.hear(*entry.record, first, when, delta, entry.last_seen) ==
            StationTiers::Hearing::station) {
            entry.mark = 1;
            ++result.stations;
            for (size_t i = 0; i < sinks.count; ++i) {
                const ScanSink& sink = sinks.sinks[i];
                if (sink.entry != nullptr) {
                    sink.entry(sink.context, entry);
                }
            }
            entry.reported_count = entry.count;
        } else {
            entry.mark = -1;
            rule.crowd.hear_randomised(when, entry.record->rssi, returning);
        }
    }
    for (ProbeEntry& entry : list) {
        result.removed_records += entry.count;
        delete entry.record;
        entry.record = nullptr;
    }
    result.removed = list.size();
    list.clear();
    result.crowd = rule.crowd.close_scan(now_ms, rule.tiers.strong_stations(crowd_rssi_floor));
    return result;
}
