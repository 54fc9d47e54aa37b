#include "probe_table.h"

#include <algorithm>

#include "console_log.h"

void ProbeIndex::rebuild(const ProbeList& list) {
    index_.reset_for(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        index_.place(address_key(list[i].record->mac), static_cast<uint32_t>(i));
    }
}

FoldResult fold_probe(ProbeList& list, ProbeIndex& index, ProbeRecord* record,
                      const ClockReading& now, size_t capacity, const KnownStations* known) {
    long position = index.find(record->mac);
    if (position >= 0) {
        ProbeEntry& entry = list[static_cast<size_t>(position)];
        entry.count += 1;
        entry.last_seen = now.wall;
        entry.last_ms = now.monotonic_ms;
        entry.last_rssi = record->rssi;
        delete record;
        return FoldResult::counted;
    }
    if (list.size() >= capacity &&
        (known == nullptr || known->known == nullptr || list.size() >= capacity + known->room ||
         !known->known(known->context, record->mac))) {
        delete record;
        return FoldResult::turned_away;
    }
    list.push_back(
        ProbeEntry{record, 1, 0, 0, record->rssi, now.wall, now.monotonic_ms, now.monotonic_ms});
    index.insert(record->mac, list.size() - 1);
    return FoldResult::added;
}

void init_probe_table(ProbeTable& table) {
    fatal_check(0 == uv_rwlock_init(&table.list_mac_rwlock_), site::rwlock_init);
}

void destroy_probe_table(ProbeTable& table) {
    uv_rwlock_destroy(&table.list_mac_rwlock_);
}

void add_probes(ProbeTable& table, SessionCounters& counters, ProbeRecord* const* records,
                size_t n) {
    // The slots of the next few addresses are loaded while the current one
    // is folded: in a large table nearly every lookup misses the cache.
    constexpr size_t ahead = 8;
    uv_rwlock_wrlock(&table.list_mac_rwlock_);
    ProbeIndex& index = table.probe_index_;
    for (size_t i = 0; i < std::min(n, ahead); ++i) {
        index.prefetch(records[i]->mac);
    }
    // One reading of the clocks for the batch: its records arrived together
    // and are folded within microseconds of each other.
    const ClockReading now = read_clocks();
    uint32_t turned_away = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n) {
            index.prefetch(records[i + ahead]->mac);
        }
        if (fold_probe(table.probe_list, index, records[i], now, probe_table_capacity,
                       &table.known_stations_) == FoldResult::turned_away) {
            ++turned_away;
        }
    }
    counters.folded.fetch_add(n, std::memory_order_relaxed);
    if (turned_away != 0) {
        counters.table_full.fetch_add(turned_away, std::memory_order_relaxed);
    }
    uv_rwlock_wrunlock(&table.list_mac_rwlock_);
}

void add_probe(ProbeTable& table, SessionCounters& counters, ProbeRecord* record) {
    add_probes(table, counters, &record, 1);
}

void release_probe_list(ProbeTable& table) {
    uv_rwlock_wrlock(&table.list_mac_rwlock_);
    for (ProbeEntry& entry : table.probe_list) {
        delete entry.record;
        entry.record = nullptr;
    }
    table.probe_list.clear();
    table.probe_index_.clear();
    uv_rwlock_wrunlock(&table.list_mac_rwlock_);
}
