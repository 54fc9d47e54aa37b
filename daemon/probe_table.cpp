#include "probe_table.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "address_key.h"
#include "console_log.h"

ProbeIndex::ProbeIndex() : seed_(std::random_device{}() | 1ull) {}

uint64_t ProbeIndex::key_of(const uint8_t* mac) {
    return address_key(mac);
}

size_t ProbeIndex::home_of(uint64_t key) const {
    return static_cast<size_t>(seeded_key_hash(key, seed_)) & mask_;
}

void ProbeIndex::reset(size_t slots) {
    if (slots == slots_.size()) {
        std::fill(slots_.begin(), slots_.end(), Slot{empty_key, 0});
    } else {
        std::vector<Slot>(slots, Slot{empty_key, 0}).swap(slots_);
    }
    mask_ = slots - 1;
    size_ = 0;
}

void ProbeIndex::clear() {
    std::vector<Slot>().swap(slots_);
    mask_ = 0;
    size_ = 0;
}

long ProbeIndex::find(const uint8_t* mac) const {
    if (size_ == 0) {
        return -1;
    }
    const uint64_t key = key_of(mac);
    for (size_t i = home_of(key);; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.key == key) {
            return static_cast<long>(slot.position);
        }
        if (slot.key == empty_key) {
            return -1;
        }
    }
}

void ProbeIndex::prefetch(const uint8_t* mac) const {
    if (size_ != 0) {
        __builtin_prefetch(&slots_[home_of(key_of(mac))]);
    }
}

void ProbeIndex::place(uint64_t key, uint32_t position) {
    for (size_t i = home_of(key);; i = (i + 1) & mask_) {
        Slot& slot = slots_[i];
        if (slot.key == key) {
            slot.position = position;
            return;
        }
        if (slot.key == empty_key) {
            slot = Slot{key, position};
            ++size_;
            return;
        }
    }
}

void ProbeIndex::insert(const uint8_t* mac, size_t position) {
    if ((size_ + 1) * 2 > slots_.size()) {
        // Half full: double the slots and place every address again.
        std::vector<Slot> old;
        old.swap(slots_);
        reset(std::max(min_slots, old.size() * 2));
        for (const Slot& slot : old) {
            if (slot.key != empty_key) {
                place(slot.key, slot.position);
            }
        }
    }
    place(key_of(mac), static_cast<uint32_t>(position));
}

void ProbeIndex::rebuild(const ProbeList& list) {
    size_t slots = min_slots;
    while (slots < list.size() * 2 + 2) {
        slots *= 2;
    }
    // Kept at its size unless most of it would stand empty: a table that
    // filled once is likely to fill again before the next scan.
    reset(slots_.size() > slots * 4 || slots_.size() < slots ? slots : slots_.size());
    for (size_t i = 0; i < list.size(); ++i) {
        place(key_of(list[i].record->mac), static_cast<uint32_t>(i));
    }
}

FoldResult fold_probe(ProbeList& list, ProbeIndex& index, ProbeRecord* record,
                      const struct timeval& now, size_t capacity, const KnownStations* known) {
    long position = index.find(record->mac);
    if (position >= 0) {
        ProbeEntry& entry = list[static_cast<size_t>(position)];
        entry.count += 1;
        entry.last_seen = now;
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
    list.push_back(ProbeEntry{record, 1, 0, 0, record->rssi, now, now});
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
    // One reading of the clock for the batch: its records arrived together
    // and are folded within microseconds of each other.
    struct timeval now;
    gettimeofday(&now, nullptr);
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
