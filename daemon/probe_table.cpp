#include "probe_table.h"

#include <cstring>
#include <random>

#include "console_log.h"
#include "vorlask.h"

ProbeIndex::ProbeIndex() : map_(0, Hash{std::random_device{}() | 1ull}) {}

size_t ProbeIndex::Hash::operator()(uint64_t key) const {
    // splitmix64 finaliser over the address mixed with the process seed.
    uint64_t z = key ^ (seed * 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<size_t>(z ^ (z >> 31));
}

uint64_t ProbeIndex::key_of(const uint8_t* mac) {
    uint64_t key = 0;
    memcpy(&key, mac, 6);
    return key;
}

long ProbeIndex::find(const uint8_t* mac) const {
    auto it = map_.find(key_of(mac));
    return it == map_.end() ? -1 : static_cast<long>(it->second);
}

void ProbeIndex::insert(const uint8_t* mac, size_t position) {
    map_[key_of(mac)] = static_cast<uint32_t>(position);
}

void ProbeIndex::rebuild(const ProbeList& list) {
    if (list.size() < map_.size() / 2) {
        // Most entries went: start over rather than keep a sparse table.
        std::unordered_map<uint64_t, uint32_t, Hash> fresh(0, map_.hash_function());
        map_.swap(fresh);
    } else {
        map_.clear();
    }
    map_.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        insert(list[i].record->mac, i);
    }
}

FoldResult fold_probe(ProbeList& list, ProbeIndex& index, ProbeRecord* record,
                      const struct timeval& now, size_t capacity) {
    long position = index.find(record->mac);
    if (position >= 0) {
        ProbeEntry& entry = list[static_cast<size_t>(position)];
        entry.count += 1;
        entry.last_seen = now;
        delete record;
        return FoldResult::counted;
    }
    if (list.size() >= capacity) {
        delete record;
        return FoldResult::turned_away;
    }
    list.push_back(ProbeEntry{record, 1, 0, 0, now});
    index.insert(record->mac, list.size() - 1);
    return FoldResult::added;
}

void add_probes(NlSession* session, ProbeRecord* const* records, size_t n) {
    uv_rwlock_wrlock(&session->list_mac_rwlock_);
    uint32_t turned_away = 0;
    for (size_t i = 0; i < n; ++i) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (fold_probe(session->probe_list, session->probe_index_, records[i], now) ==
            FoldResult::turned_away) {
            ++turned_away;
        }
    }
    session->counters_.folded.fetch_add(n, std::memory_order_relaxed);
    if (turned_away != 0) {
        session->counters_.table_full.fetch_add(turned_away, std::memory_order_relaxed);
    }
    uv_rwlock_wrunlock(&session->list_mac_rwlock_);
}

void add_probe(NlSession* session, ProbeRecord* record) {
    add_probes(session, &record, 1);
}

void release_probe_list(NlSession* session) {
    uv_rwlock_wrlock(&session->list_mac_rwlock_);
    for (ProbeEntry& entry : session->probe_list) {
        delete entry.record;
        entry.record = nullptr;
    }
    session->probe_list.clear();
    session->probe_index_.clear();
    uv_rwlock_wrunlock(&session->list_mac_rwlock_);
}

void worker_mac80211_mac_recv(void* arg) {
    auto* session = static_cast<NlSession*>(arg);
    // Records are taken as they come, a burst at a time, so that a flood
    // costs one lock round per burst rather than per record; the write lock
    // is held for at most one batch, which keeps scans from waiting long.
    constexpr size_t batch = 64;
    ProbeRecord* records[batch];
    while (session->running.load()) {
        size_t n = session->probe_queue_.pop_batch(records, batch);
        if (n == 0) {
            break;  // the queue was closed at stop
        }
        add_probes(session, records, n);
    }
    log_msg(1, "worker_mac80211_mac_recv thread stopped ...\n");
}
