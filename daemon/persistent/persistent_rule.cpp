#include "persistent/persistent_rule.h"

#include <utility>
#include <vector>

#include "clock_reading.h"
#include "console_log.h"
#include "console_table.h"
#include "persistent/scan_config.h"
#include "scan.h"

namespace {

// Stations of the not_people list whose latest record was strong: the fixed
// devices among the strong stations the estimate counts.
size_t strong_fixed_stations(const PersistentRule& rule) {
    size_t fixed = 0;
    for (const auto& mac : rule.people.not_people) {
        const Station* s = rule.tiers.find(mac.data());
        if (s != nullptr && (s->record.rssi >= crowd_rssi_floor || s->record.rssi == -128)) {
            ++fixed;
        }
    }
    return fixed;
}

}  // namespace

PersistentScanResult scan_entries_persistent(ProbeList& list, PersistentRule& rule, int64_t now_ms,
                                             const ScanSinks& sinks) {
    PersistentScanResult result;
    rule.tiers.forget_silent(now_ms);
    for (ProbeEntry& entry : list) {
        const int64_t when = entry.last_ms;
        const int64_t first = entry.first_ms;
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
    result.crowd = rule.crowd.close_scan(
        now_ms, rule.tiers.strong_stations(crowd_rssi_floor) - strong_fixed_stations(rule));
    result.people = people_of(rule.people, result.crowd.estimate);
    return result;
}

ScanTotals PersistentRule::scan(ProbeTable& table, const ScanSinks& sinks,
                                SessionCounters& counters, const KernelChannel& kernel) {
    ScanTotals totals{};
    const int64_t now_ms = read_clocks().monotonic_ms;
    const uint64_t turned_away_before = tiers.turned_away();
    uv_rwlock_wrlock(&table.list_mac_rwlock_);
    totals.table_size = table.probe_list.size();
    PersistentScanResult r = scan_entries_persistent(table.probe_list, *this, now_ms, sinks);
    table.probe_index_.rebuild(table.probe_list);
    uv_rwlock_wrunlock(&table.list_mac_rwlock_);
    counters.scan_dropped.fetch_add(r.removed, std::memory_order_relaxed);
    counters.scan_dropped_records.fetch_add(r.removed_records, std::memory_order_relaxed);
    totals.kept = r.stations;
    totals.dropped = r.removed - r.stations;
    totals.has_crowd = true;
    totals.crowd_randomised = r.crowd.randomised;
    totals.crowd_estimate = r.crowd.estimate;
    totals.crowd_people = r.people;
    totals.turned_away_stations = static_cast<uint32_t>(tiers.turned_away() - turned_away_before);
    report_losses(counters, kernel, totals);
    if (totals.turned_away_stations != 0) {
        log_msg(1, "turned away since the last scan: %u new stations (stations full)\n",
                totals.turned_away_stations);
    }
    // The line of the default [crowd] (people = devices) stays as it was.
    if (people.people_per_device == 1 && people.offset == 0) {
        log_msg(1,
                "crowd: %u randomised addresses since the last scan, about %u devices near in the "
                "last %u s\n",
                r.crowd.randomised, r.crowd.estimate, memory_s_);
    } else {
        log_msg(1,
                "crowd: %u randomised addresses since the last scan, about %u devices near in the "
                "last %u s, about %.1f people\n",
                r.crowd.randomised, r.crowd.estimate, memory_s_, r.people);
    }
    end_of_scan(sinks, totals);
    return totals;
}

void PersistentRule::print_summary(ProbeTable& table) const {
    log_msg(0, "\n*** summary ***\n");
    const int64_t now_ms = read_clocks().monotonic_ms;
    uv_rwlock_rdlock(&table.list_mac_rwlock_);
    std::vector<const Station*> known;
    for (const Station& s : tiers.stations()) {
        if (now_ms - s.last_ms <= tiers.memory_ms()) {
            known.push_back(&s);
        }
    }
    log_msg(0, "total probes request found: %ld\n", static_cast<long>(known.size()));
    log_msg(0, "To remove some random address, and get a valid address list:\n");
    print_probe_header();
    for (const Station* s : known) {
        ProbeRecord record = s->record;
        ProbeEntry row{&record, s->count, 0, 1, record.rssi, s->last_seen, s->first_ms, s->last_ms};
        print_probe_row(row);
    }
    uv_rwlock_rdunlock(&table.list_mac_rwlock_);
    log_msg(0, "finally get a valid probe reqeust number: %u\n",
            static_cast<unsigned>(known.size()));
}

bool read_keep_rule(const Confile& config, const char* path, std::unique_ptr<KeepRule>& rule) {
    ScanRule spans;
    if (!read_scan_rule(config, path, spans)) {
        return false;
    }
    if (spans.persistent) {
        CrowdConfig people;
        if (!read_crowd_config(config, path, people)) {
            return false;
        }
        rule = std::make_unique<PersistentRule>(spans.min_span, spans.memory, std::move(people));
    }
    return true;
}
