// Visits: the stations whose addresses are not randomised, each in one open visit from its
// first hearing until it goes unheard for its site's timeout. A visit that ends is a visitor's
// (its strongest signal and its dwell at or above the site's thresholds) or a passerby's, and
// a visitor is new or returning (the station made a visit on an earlier day within the
// retention). Fed hearings and the time from the collector's loop; knows nothing of MQTT, the
// view or the history: what begins and ends is handed out as events. Bounded: open visits
// (a station beyond is not tracked, counted), the stations whose visit days are remembered
// (those older than the retention go first; beyond, counted), and a visit's length.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "visit_rules.h"

namespace fleet_visits {

// One hearing of a station whose address is not randomised.
struct Sighting {
    std::string key;    // its address as the documents give it: hashed, or plain
    std::string site;   // the site of `ap`
    std::string ap;     // the access point that hears it strongest now
    int rssi = -128;    // dBm; -128: none
    int64_t heard = 0;  // monotonic seconds
    int64_t seen = 0;   // the same moment on the fleet clock (unix seconds)
};

enum class Dwell { under_5, to_15, to_60, over_60 };
// Under 5 minutes, 5 to 15, 15 to 60, 60 and over; each bucket holds its lower bound.
Dwell dwell_bucket(int64_t seconds);

struct VisitEvent {
    bool ended = false;  // false: a visit began
    // Begun: the access point strongest at its first hearing; ended: strongest at its last.
    std::string site, ap;
    int64_t time = 0;  // fleet clock: its first hearing (begun) or its last (ended)
    // Ended only. `key` is empty when the station's visit days could not be remembered.
    std::string key;
    int64_t dwell = 0;  // seconds from its first hearing to its last
    bool visitor = false;
    bool returning = false;  // a visitor whose station made a visit on an earlier day
    // The station's visit days (unix days, UTC) now: the latest and the latest before it (-1:
    // none), for the history to keep across restarts.
    int64_t last_day = -1, earlier_day = -1;
};

struct VisitTotals {
    uint64_t started = 0, ended = 0, visitors = 0, passersby = 0;
    uint64_t new_visitors = 0, returning_visitors = 0;
    uint64_t open = 0;
    uint64_t turned_away = 0;   // stations not tracked: the open visits were at their bound
    uint64_t unremembered = 0;  // visits whose days were not kept: the stations were at theirs
};

class VisitTracker {
  public:
    explicit VisitTracker(VisitSettings settings) : settings_(std::move(settings)) {}

    // A station's visit days from the history (at start): the latest and the one before.
    void remember(const std::string& key, int64_t last_day, int64_t earlier_day);
    // Takes one hearing at monotonic `now`. A hearing already older than its site's timeout
    // makes no visit; one after a gap of the timeout or more, or the visit's maximum length
    // after its first hearing, ends the open visit and begins another.
    void see(const Sighting& s, int64_t now, std::vector<VisitEvent>& out);
    // Ends the visits not heard for their site's timeout (not heard for exactly the timeout
    // ends one).
    void expire(int64_t now, std::vector<VisitEvent>& out);
    VisitTotals totals() const;
    const VisitSettings& settings() const { return settings_; }

  private:
    struct Open {
        std::string site, ap;
        int best_rssi = -128;
        int64_t timeout = 0;  // its site's, when last heard
        int64_t first_heard = 0, last_heard = 0;
        int64_t first_seen = 0, last_seen = 0;
    };
    struct Days {
        int64_t last = -1, earlier = -1;
    };
    void begin(const Sighting& s, const VisitRules& rules, std::vector<VisitEvent>& out);
    void end(const std::string& key, const Open& visit, std::vector<VisitEvent>& out);
    Days* days_of(const std::string& key, int64_t today);
    void forget_days_before(int64_t oldest_kept);

    VisitSettings settings_;
    std::unordered_map<std::string, Open> open_;
    std::unordered_map<std::string, Days> days_;
    VisitTotals totals_;
    int64_t days_pruned_on_ = -1;  // the visit day the remembered days were last pruned on
};

}  // namespace fleet_visits
