// The persistent rule's tiers: an address counts as a station once it has been
// heard at two moments at least `min_span` apart within `memory`. Two bounded
// tiers hold what the rule remembers between scans: candidates (heard, not
// yet stations) in a ring of fixed capacity whose oldest entry is forgotten
// first, and stations, kept while heard within `memory` and never displaced
// by new addresses.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "address_index.h"
#include "probe_record.h"

// Sized for a 64 MiB router: about 4 MiB for the candidates (24-byte ring
// entries plus a 4-byte slot per entry at half load) and about 1.5 MiB for the
// stations with their index. A radio hears a few hundred stations; the
// candidates' ring holds several minutes of a dense crowd's randomised
// addresses.
constexpr size_t candidate_capacity = 131072;
constexpr size_t station_capacity = 16384;

// A station known to the rule, with what its rows show.
struct Station {
    ProbeRecord record;        // first record of the latest interval it was heard in
    int64_t first_ms;          // the earlier of the two moments that made it a station
    int64_t last_ms;           // the latest moment it was heard (monotonic)
    uint32_t count;            // probe requests heard since it became a station
    struct timeval last_seen;  // wall clock at that moment, for its console row
};

class StationTiers {
  public:
    enum class Hearing { candidate, station, turned_away };

    StationTiers(uint32_t min_span_s, uint32_t memory_s, size_t candidates = candidate_capacity,
                 size_t stations = station_capacity);
    // The candidates' index reads the addresses in the tiers' own ring.
    StationTiers(const StationTiers&) = delete;
    StationTiers& operator=(const StationTiers&) = delete;

    // The address of `record` heard from `first_ms` to `last_ms`
    // (milliseconds on a clock that does not go back: the monotonic one of
    // clock_reading.h, or a replay's virtual time), worth `count` probe
    // requests, the latest at `last_seen` on the wall clock. Returns
    // station when the address is (or has just become) a station, candidate
    // while it is not, and turned_away when it would have become a station but
    // the stations' tier is full.
    Hearing hear(const ProbeRecord& record, int64_t first_ms, int64_t last_ms, uint32_t count,
                 const struct timeval& last_seen);

    // Forgets the stations not heard for longer than `memory` before `now_ms`.
    void forget_silent(int64_t now_ms);

    const std::vector<Station>& stations() const { return stations_; }
    // The station with address `mac`, or null.
    const Station* find(const uint8_t* mac) const {
        long i = station_index_.find(address_key(mac));
        return i < 0 ? nullptr : &stations_[static_cast<size_t>(i)];
    }
    // Stations whose latest record was at least `rssi_floor` dBm, or carried
    // no signal strength.
    size_t strong_stations(int rssi_floor) const;
    // Whether `mac` is a candidate last heard no more than `memory` before
    // `ms`: an address that came back rather than a new one.
    bool recent_candidate(const uint8_t* mac, int64_t ms) const;
    // The most stations the tier holds.
    size_t station_limit() const { return station_limit_; }
    // Would-be stations turned away because the stations' tier was full.
    uint64_t turned_away() const { return turned_away_; }
    size_t candidate_count() const { return candidate_index_.size(); }
    int64_t memory_ms() const { return memory_ms_; }

  private:
    struct Candidate {
        uint64_t key;  // the address, or empty_key for a free ring entry
        int64_t first_ms;
        int64_t last_ms;
    };
    static constexpr uint64_t empty_key = ~0ull;
    // The address of a ring entry, for the candidates' index.
    struct RingKey {
        const std::vector<Candidate>* ring;
        uint64_t operator()(uint32_t position) const { return (*ring)[position].key; }
    };
    void add_candidate(uint64_t key, int64_t first_ms, int64_t last_ms);
    bool promote(const ProbeRecord& record, int64_t first_ms, int64_t when_ms, uint32_t count,
                 const struct timeval& last_seen);

    int64_t min_span_ms_;
    int64_t memory_ms_;
    std::vector<Candidate> ring_;  // in order of arrival; next_ is the oldest
    AddressIndex<PositionSlots<RingKey>> candidate_index_;  // positions in the ring
    size_t next_ = 0;
    std::vector<Station> stations_;  // in the order they became stations
    AddressIndex<> station_index_;
    size_t station_limit_;
    uint64_t turned_away_ = 0;
};
