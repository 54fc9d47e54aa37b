#include "persistent/station_tiers.h"

#include <algorithm>

StationTiers::StationTiers(uint32_t min_span_s, uint32_t memory_s, size_t candidates,
                           size_t stations)
    : min_span_ms_(int64_t{min_span_s} * 1000),
      memory_ms_(int64_t{memory_s} * 1000),
      ring_(candidates, Candidate{empty_key, 0, 0}),
      candidate_index_(PositionSlots<RingKey>{RingKey{&ring_}}),
      station_limit_(stations) {
    candidate_index_.reset(slot_count_for(candidates * 2));
}

void StationTiers::add_candidate(uint64_t key, int64_t first_ms, int64_t last_ms) {
    if (ring_.empty()) {
        return;
    }
    Candidate& oldest = ring_[next_];
    if (oldest.key != empty_key) {
        candidate_index_.erase(candidate_index_.slot_of(oldest.key));
    }
    oldest = Candidate{key, first_ms, last_ms};
    candidate_index_.place(key, static_cast<uint32_t>(next_));
    next_ = (next_ + 1) % ring_.size();
}

bool StationTiers::promote(const ProbeRecord& record, int64_t first_ms, int64_t when_ms,
                           uint32_t count, const struct timeval& last_seen) {
    if (stations_.size() >= station_limit_) {
        return false;
    }
    station_index_.insert(address_key(record.mac), static_cast<uint32_t>(stations_.size()));
    stations_.push_back(Station{record, first_ms, when_ms, count, last_seen});
    return true;
}

StationTiers::Hearing StationTiers::hear(const ProbeRecord& record, int64_t first_ms,
                                         int64_t last_ms, uint32_t count,
                                         const struct timeval& last_seen) {
    long known = station_index_.find(address_key(record.mac));
    if (known >= 0) {
        Station& s = stations_[static_cast<size_t>(known)];
        s.record = record;
        s.last_ms = last_ms;
        s.count += count;
        s.last_seen = last_seen;
        return Hearing::station;
    }
    const uint64_t key = address_key(record.mac);
    const size_t slot = candidate_index_.slot_of(key);
    const bool candidate = candidate_index_.occupied(slot);
    int64_t earliest = first_ms;
    if (candidate) {
        // The earliest moment heard within memory of the latest one.
        const Candidate& c = ring_[candidate_index_.position_at(slot)];
        if (last_ms - c.first_ms <= memory_ms_) {
            earliest = c.first_ms;
        } else if (last_ms - c.last_ms <= memory_ms_) {
            earliest = c.last_ms;
        }
    }
    if (last_ms - earliest >= min_span_ms_) {
        if (promote(record, earliest, last_ms, count, last_seen)) {
            if (candidate) {
                ring_[candidate_index_.position_at(slot)].key = empty_key;
                candidate_index_.erase(slot);
            }
            return Hearing::station;
        }
        ++turned_away_;
    }
    if (!candidate) {
        add_candidate(key, earliest, last_ms);
    } else {
        Candidate& c = ring_[candidate_index_.position_at(slot)];
        c.first_ms = earliest;
        c.last_ms = last_ms;
    }
    return last_ms - earliest >= min_span_ms_ ? Hearing::turned_away : Hearing::candidate;
}

bool StationTiers::recent_candidate(const uint8_t* mac, int64_t ms) const {
    const long at = candidate_index_.find(address_key(mac));
    return at >= 0 && ms - ring_[static_cast<size_t>(at)].last_ms <= memory_ms_;
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
            station_index_.insert(address_key(stations_[i].record.mac), static_cast<uint32_t>(i));
        }
    }
}

size_t StationTiers::strong_stations(int rssi_floor) const {
    return static_cast<size_t>(
        std::count_if(stations_.begin(), stations_.end(), [rssi_floor](const Station& s) {
            return s.record.rssi >= rssi_floor || s.record.rssi == -128;
        }));
}
