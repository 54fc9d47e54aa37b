#include "persistent/station_tiers.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "address_key.h"

StationTiers::StationTiers(uint32_t min_span_s, uint32_t memory_s, size_t candidates,
                           size_t stations)
    : min_span_ms_(int64_t{min_span_s} * 1000),
      memory_ms_(int64_t{memory_s} * 1000),
      seed_(std::random_device{}() | 1ull),
      ring_(candidates, Candidate{empty_key, 0, 0}),
      station_limit_(stations) {
    size_t n = 16;
    while (n < candidates * 2) {
        n *= 2;
    }
    slots_.assign(n, empty_slot);
    mask_ = n - 1;
}

uint64_t StationTiers::key_of(const uint8_t* mac) {
    return address_key(mac);
}

size_t StationTiers::home_of(uint64_t key) const {
    return static_cast<size_t>(seeded_key_hash(key, seed_)) & mask_;
}

size_t StationTiers::slot_of(uint64_t key) const {
    size_t i = home_of(key);
    while (slots_[i] != empty_slot && ring_[slots_[i]].key != key) {
        i = (i + 1) & mask_;
    }
    return i;
}

// Removes the slot and moves later slots of the same run back, so that
// lookups never need markers of removed entries.
void StationTiers::erase_slot(size_t slot) {
    size_t hole = slot;
    for (size_t j = (hole + 1) & mask_; slots_[j] != empty_slot; j = (j + 1) & mask_) {
        size_t home = home_of(ring_[slots_[j]].key);
        // The entry at j may fill the hole when its home is not cyclically in
        // (hole, j].
        bool home_in_between = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!home_in_between) {
            slots_[hole] = slots_[j];
            hole = j;
        }
    }
    slots_[hole] = empty_slot;
    --candidate_size_;
}

void StationTiers::add_candidate(uint64_t key, int64_t first_ms, int64_t last_ms) {
    if (ring_.empty()) {
        return;
    }
    Candidate& oldest = ring_[next_];
    if (oldest.key != empty_key) {
        erase_slot(slot_of(oldest.key));
    }
    oldest = Candidate{key, first_ms, last_ms};
    slots_[slot_of(key)] = static_cast<uint32_t>(next_);
    ++candidate_size_;
    next_ = (next_ + 1) % ring_.size();
}

bool StationTiers::promote(const ProbeRecord& record, int64_t first_ms, int64_t when_ms,
                           uint32_t count, const struct timeval& last_seen) {
    if (stations_.size() >= station_limit_) {
        return false;
    }
    station_index_.insert(record.mac, stations_.size());
    stations_.push_back(Station{record, first_ms, when_ms, count, last_seen});
    return true;
}

StationTiers::Hearing StationTiers::hear(const ProbeRecord& record, int64_t first_ms,
                                         int64_t last_ms, uint32_t count,
                                         const struct timeval& last_seen) {
    long known = station_index_.find(record.mac);
    if (known >= 0) {
        Station& s = stations_[static_cast<size_t>(known)];
        s.record = record;
        s.last_ms = last_ms;
        s.count += count;
        s.last_seen = last_seen;
        return Hearing::station;
    }
    const uint64_t key = key_of(record.mac);
    size_t slot = slot_of(key);
    int64_t earliest = first_ms;
    if (slots_[slot] != empty_slot) {
        // The earliest moment heard within memory of the latest one.
        const Candidate& c = ring_[slots_[slot]];
        if (last_ms - c.first_ms <= memory_ms_) {
            earliest = c.first_ms;
        } else if (last_ms - c.last_ms <= memory_ms_) {
            earliest = c.last_ms;
        }
    }
    if (last_ms - earliest >= min_span_ms_) {
        if (promote(record, earliest, last_ms, count, last_seen)) {
            if (slots_[slot] != empty_slot) {
                ring_[slots_[slot]].key = empty_key;
                erase_slot(slot);
            }
            return Hearing::station;
        }
        ++turned_away_;
    }
    if (slots_[slot] == empty_slot) {
        add_candidate(key, earliest, last_ms);
    } else {
        Candidate& c = ring_[slots_[slot]];
        c.first_ms = earliest;
        c.last_ms = last_ms;
    }
    return last_ms - earliest >= min_span_ms_ ? Hearing::turned_away : Hearing::candidate;
}

bool StationTiers::recent_candidate(const uint8_t* mac, int64_t ms) const {
    const uint32_t at = slots_[slot_of(key_of(mac))];
    return at != empty_slot && ms - ring_[at].last_ms <= memory_ms_;
}

void StationTiers::forget_silent(int64_t now_ms) {
    size_t kept = 0;
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (now_ms - stations_[i].last_ms > memory_ms_) {
            continue;
        }
        if (kept != i) {
            stations_[kept] = stations_[i];
        }
        ++kept;
    }
    if (kept != stations_.size()) {
        stations_.resize(kept);
        station_index_.clear();
        for (size_t i = 0; i < stations_.size(); ++i) {
            station_index_.insert(stations_[i].record.mac, i);
        }
    }
}

size_t StationTiers::strong_stations(int rssi_floor) const {
    return static_cast<size_t>(
        std::count_if(stations_.begin(), stations_.end(), [rssi_floor](const Station& s) {
            return s.record.rssi >= rssi_floor || s.record.rssi == -128;
        }));
}
