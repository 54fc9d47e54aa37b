// The probe table: one entry per station address with its hit count and the
// time it was last heard, folded in by the receive worker.
#pragma once

#include <sys/time.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "address_index.h"
#include "clock_reading.h"
#include "probe_record.h"
#include "session_counters.h"

struct ProbeEntry {
    ProbeRecord* record;       // first record heard for the address; owned
    uint32_t count;            // probe requests since the entry was created
    uint32_t reported_count;   // count at the last scan that kept the entry
    int32_t mark;              // 0 new, 1 kept by the last scan, -1 dropped
    int8_t last_rssi;          // signal of the latest probe request
    struct timeval last_seen;  // wall clock at the latest probe request, for the console row
    // Monotonic milliseconds (clock_reading.h) when the entry was created and
    // at its latest probe request: its ages and the persistent rule's spans.
    int64_t first_ms;
    int64_t last_ms;
};

using ProbeList = std::vector<ProbeEntry>;

// Position of each address in the probe list, so that folding a record costs
// the same whatever the size of the table: an address index whose slots hold
// the address beside its position, so a lookup usually reads one slot.
class ProbeIndex {
  public:
    // Position of `mac`, or -1 when the address is not in the table.
    long find(const uint8_t* mac) const { return index_.find(address_key(mac)); }
    // Records `mac` at `position` (replacing the position it had).
    void insert(const uint8_t* mac, size_t position) {
        index_.insert(address_key(mac), static_cast<uint32_t>(position));
    }
    // Makes the index match `list` again after entries were removed from it.
    void rebuild(const ProbeList& list);
    void clear() { index_.clear(); }
    size_t size() const { return index_.size(); }
    // Starts loading the slot where `mac` would be, ahead of its lookup.
    void prefetch(const uint8_t* mac) const { index_.prefetch(address_key(mac)); }

  private:
    AddressIndex<> index_;
};

// More distinct addresses than this between two scans are turned away: one
// radio hears a few thousand real stations at most, and a table of this size
// with its index takes about 10 MiB, which a 64 MiB router can afford.
constexpr size_t probe_table_capacity = 100000;

enum class FoldResult { added, counted, turned_away };

// Whether an address belongs to a station the keep rule already knows. Under
// rule = persistent the table is emptied at every scan, so without this a
// flood of new addresses that fills the table before a known station's next
// probe request would keep that station out until the next scan. A full table
// still takes a known station, up to `room` entries beyond its capacity (one
// per station the rule can know). Asked only when the table is full, under
// the table's write lock.
struct KnownStations {
    bool (*known)(const void* context, const uint8_t* mac) = nullptr;
    const void* context = nullptr;
    size_t room = 0;
};

// Folds `record`, heard at `now`, into the table: a known address has its
// count raised and its times refreshed and `record` is destroyed; a new one
// is appended and the table takes `record`. When the table is full a new
// address is turned away (and `record` destroyed) unless `known` says it is a
// known station and there is room for it; entries already in the table are
// never displaced. The caller holds the table's write lock.
FoldResult fold_probe(ProbeList& list, ProbeIndex& index, ProbeRecord* record,
                      const ClockReading& now, size_t capacity = probe_table_capacity,
                      const KnownStations* known = nullptr);

// The probe table: the entries, the index of their addresses, and the
// reader-writer lock that guards both.
struct ProbeTable {
    ProbeList probe_list;
    ProbeIndex probe_index_;
    uv_rwlock_t list_mac_rwlock_;
    KnownStations known_stations_;  // none under rule = count
};

// Creates the table's lock (a failure ends the process) / destroys it.
void init_probe_table(ProbeTable& table);
void destroy_probe_table(ProbeTable& table);

// Folds one record into the table under its write lock; counts in
// `counters` what was folded and what the full table turned away.
void add_probe(ProbeTable& table, SessionCounters& counters, ProbeRecord* record);
// Folds `n` records, in order, under one taking of the write lock.
void add_probes(ProbeTable& table, SessionCounters& counters, ProbeRecord* const* records,
                size_t n);

// Destroys every record of the table and empties it, under the write lock.
void release_probe_list(ProbeTable& table);
