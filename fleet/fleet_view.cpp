#include "fleet_view.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "same_text.h"

namespace fleet {

namespace {

// An entry competes for the strongest access point while it is no older than
// two of its access point's scan intervals behind the station's latest
// sighting: a station that walked away from one access point stops counting
// there once that access point has scanned twice without hearing it.
bool competes(const HeardBy& e, int64_t station_last_seen) {
    return e.last_seen + 2 * std::max<int64_t>(e.interval, 1) >= station_last_seen;
}

// A restarted daemon: numbering from 1 again (after a higher number, or after
// the access point went offline and came back: a daemon stopped after one
// scan), or a number below the last once it came back (its first scans lost).
// Anything else at or below the last number is a redelivery, such as the
// documents a daemon sends again after it reconnected.
bool restarts(const ApView& ap, uint64_t seq) {
    return ap.has_scan &&
           ((seq == 1 && (ap.seq > 1 || ap.restarted)) || (seq < ap.seq && ap.restarted));
}

}  // namespace

ApView* FleetView::find_or_add_ap(const std::string& id) {
    auto it = aps_.find(id);
    if (it != aps_.end()) {
        return &it->second;
    }
    if (aps_.size() >= limits_.max_aps) {
        counters_.turned_away++;
        return nullptr;
    }
    return &aps_[id];
}

bool FleetView::take_scan_payload(const std::string& topic_ap, const char* payload, size_t size,
                                  FleetTime now) {
    // Read into the view's own part, whose stations keep their room from one
    // document to the next (a part merged at once is not moved away).
    std::string error;
    if (!parse_scan_part(payload, size, reading_, error)) {
        counters_.malformed++;
        return false;
    }
    return take(topic_ap, reading_, now);
}

bool FleetView::take_part(const std::string& topic_ap, ScanPart part, FleetTime now) {
    return take(topic_ap, part, now);
}

bool FleetView::take_read_part(const std::string& topic_ap, bool read, ScanPart& part,
                               FleetTime now) {
    if (!read) {
        counters_.malformed++;
        return false;
    }
    return take(topic_ap, part, now);
}

bool FleetView::take(const std::string& topic_ap, ScanPart& part, FleetTime now) {
    if (part.ap != topic_ap) {
        counters_.malformed++;
        return false;
    }
    ApView* ap = find_or_add_ap(topic_ap);
    if (ap == nullptr) {
        return true;
    }
    counters_.parts++;
    generation_++;
    ap->last_heard = now.mono;
    uint64_t seq = part.seq;
    if (outlier(*ap, seq)) {
        return true;
    }
    if (ap->has_scan && seq <= ap->seq && ap->missing.count(seq) == 0 &&
        ap->gathering.count(seq) == 0) {
        // The same scan again, an older one redelivered, or a restart.
        if (!restarts(*ap, seq)) {
            counters_.duplicates++;
            return true;
        }
        while (!ap->gathering.empty()) {
            drop_gathering(*ap, ap->gathering.begin());
        }
        ap->missing.clear();
    }
    auto it = ap->gathering.find(seq);
    if (it == ap->gathering.end()) {
        if (ap->gathering.size() >= limits_.max_gathering) {
            drop_gathering(*ap, ap->gathering.begin());
            counters_.incomplete++;
        }
        if (part.parts == 1) {
            // A scan in one part, the common case: merged as it is, held
            // against the same bounds as a gathered one (its own slot, the
            // part's slot and its stations).
            if (part.stations.size() > limits_.max_scan_stations) {
                counters_.malformed++;
                counters_.incomplete++;
                return false;
            }
            if (gathered_ + 2 + part.stations.size() > limits_.max_gathered) {
                counters_.turned_away++;
                counters_.incomplete++;
                return true;
            }
            complete(*ap, part, now);
            return true;
        }
        it = ap->gathering.emplace(seq, Gathering()).first;
        Gathering& g = it->second;
        g.parts_missing = part.parts;
        g.started = now.mono;
        g.cost = 1;  // the scan's own slot
        gathered_ += 1;
        g.head = std::move(part);
        part.stations = std::move(g.head.stations);
        g.head.stations.clear();
    } else {
        const Scan& h = it->second.head;
        if (part.parts != h.parts || part.time != h.time || part.interval != h.interval ||
            part.form != h.form) {
            counters_.malformed++;
            return false;
        }
        if (it->second.shares.count(part.part) != 0) {
            counters_.duplicates++;
            return true;
        }
    }
    Gathering& g = it->second;
    if (g.stations + part.stations.size() > limits_.max_scan_stations) {
        counters_.malformed++;
        counters_.incomplete++;
        drop_gathering(*ap, it);
        return false;
    }
    size_t cost = 1 + part.stations.size();
    if (gathered_ + cost > limits_.max_gathered) {
        // Every access point's unfinished scans together are bounded too.
        counters_.turned_away++;
        counters_.incomplete++;
        drop_gathering(*ap, it);
        return true;
    }
    g.stations += part.stations.size();
    gathered_stations_ += part.stations.size();
    g.cost += cost;
    gathered_ += cost;
    g.shares.emplace(part.part, std::move(part.stations));
    if (--g.parts_missing > 0) {
        return true;
    }
    // Every part in: the stations in part order, which is table order.
    Scan scan = std::move(g.head);
    scan.part = scan.parts;
    scan.stations.reserve(g.stations);
    for (auto& [number, share] : g.shares) {
        scan.stations.insert(scan.stations.end(), std::make_move_iterator(share.begin()),
                             std::make_move_iterator(share.end()));
    }
    drop_gathering(*ap, it);
    complete(*ap, scan, now);
    return true;
}

void FleetView::complete(ApView& ap, const Scan& scan, FleetTime now) {
    if (ap.has_scan && scan.seq < ap.seq && ap.missing.erase(scan.seq) > 0) {
        // Counted lost when a later scan overtook it: found after all. Its
        // sightings are older than what the view holds, so only the
        // listeners hear of it.
        ap.lost_documents--;
        lost_documents_--;
        counters_.late++;
        tell(scan, ap.clock.place(scan.time, now.wall));
        return;
    }
    merge(ap, scan, now);
}

void FleetView::drop_gathering(ApView& ap, std::map<uint64_t, Gathering>::iterator it) {
    gathered_ -= it->second.cost;
    gathered_stations_ -= it->second.stations;
    ap.gathering.erase(it);
}

bool FleetView::outlier(ApView& ap, uint64_t seq) {
    if (!ap.has_scan) {
        return false;
    }
    uint64_t distance = seq > ap.seq ? seq - ap.seq : ap.seq - seq;
    if (distance <= limits_.seq_window || restarts(ap, seq)) {
        ap.outlier_run = 0;
        return false;
    }
    if (seq == ap.outlier_seq && ap.outlier_run > 0) {
        // Another part of the same outlying scan.
    } else if (ap.outlier_run > 0 && seq > ap.outlier_seq &&
               seq - ap.outlier_seq <= limits_.seq_window) {
        ap.outlier_run++;
    } else {
        ap.outlier_run = 1;
    }
    ap.outlier_seq = seq;
    if (ap.outlier_run < limits_.outlier_run) {
        counters_.outliers++;
        return true;
    }
    // Scans numbered so several times in a row: the access point numbers so
    // now (a forged number took the last one far away, or a restart went
    // unseen). It starts afresh, as when first seen: nothing counted lost.
    while (!ap.gathering.empty()) {
        drop_gathering(ap, ap.gathering.begin());
    }
    ap.missing.clear();
    ap.clock.reset();
    ap.has_scan = false;
    ap.outlier_run = 0;
    return false;
}

void FleetView::tell(const Scan& scan, int64_t scan_time) const {
    for (const ScanListener& listener : scan_listeners_) {
        listener(scan, scan_time);
    }
}

void FleetView::merge(ApView& ap, const Scan& scan, FleetTime now) {
    // Only a restart reaches here with a number not above the last (take_part
    // turned the redeliveries away).
    bool restarted = ap.has_scan && scan.seq <= ap.seq;
    uint64_t base = restarted ? 0 : ap.seq;
    if (restarted) {
        ap.missing.clear();
        ap.clock.reset();
    }
    ap.clock.observe(scan.time, now);
    int64_t scan_time = ap.clock.place(scan.time, now.wall);
    if (ap.has_scan && scan.seq > base + 1) {
        ap.lost_documents += scan.seq - base - 1;
        lost_documents_ += scan.seq - base - 1;
        uint64_t from = std::max(
            base + 1, scan.seq - std::min<uint64_t>(scan.seq - base - 1, limits_.max_missing));
        for (uint64_t k = from; k < scan.seq; ++k) {
            ap.missing.insert(k);
        }
        while (ap.missing.size() > limits_.max_missing) {
            ap.missing.erase(ap.missing.begin());
        }
    }
    ap.seq = scan.seq;
    ap.has_scan = true;
    ap.last_scan = now.wall;
    ap.stations = scan.stations.size();
    ap.has_crowd = scan.has_crowd;
    ap.crowd = scan.crowd_estimate;
    ap.has_people = scan.has_people;
    ap.people = scan.people;
    ap.interval = scan.interval;
    ap.online = true;
    ap.restarted = false;

    // A daemon reports much the same stations in the same order scan after
    // scan, and `heard` holds them in the order they first came: the next of
    // them is tried before the station map is searched. In a view of many
    // access points those stations lie far apart in memory: their map nodes
    // are fetched eight stations ahead, what the nodes point to (the
    // address, the sightings) four ahead.
    size_t guess = 0;
    for (const ScanStation& s : scan.stations) {
        if (guess + 8 < ap.heard.size()) {
            __builtin_prefetch(&*ap.heard[guess + 8]);
        }
        if (guess + 4 < ap.heard.size()) {
            const auto& ahead = *ap.heard[guess + 4];
            __builtin_prefetch(ahead.first.data());
            __builtin_prefetch(ahead.second.heard_by.data());
        }
        auto it = guess < ap.heard.size() && same_text(ap.heard[guess]->first, s.address)
                      ? ap.heard[guess]
                      : stations_.find(s.address);
        guess++;
        if (it == stations_.end()) {
            if (stations_.size() >= limits_.max_stations) {
                counters_.turned_away++;
                continue;
            }
            it = stations_.emplace(s.address, StationView()).first;
            it->second.form = scan.form;
        }
        StationView& station = it->second;
        // A station is heard by a few access points: this one's entry is
        // looked for by equality, the sorted place searched only to add it.
        auto e = std::find_if(station.heard_by.begin(), station.heard_by.end(),
                              [&](const HeardBy& h) { return same_text(h.ap, scan.ap); });
        if (e == station.heard_by.end()) {
            e = std::lower_bound(station.heard_by.begin(), station.heard_by.end(), scan.ap,
                                 [](const HeardBy& h, const std::string& id) { return h.ap < id; });
            e = station.heard_by.insert(e, HeardBy());
            e->ap = scan.ap;
            ap.heard.push_back(it);
        }
        e->rssi = s.rssi;
        e->last_seen = scan_time - s.last_age;
        e->heard = now.mono - s.last_age;
        ap.earliest_heard = std::min(ap.earliest_heard, e->heard);
        e->interval = scan.interval;
        refresh_station(station);
    }
    counters_.scans++;
    generation_++;
    tell(scan, scan_time);
}

void FleetView::refresh_station(StationView& station) const {
    station.last_seen = INT64_MIN;
    for (const HeardBy& e : station.heard_by) {
        station.last_seen = std::max(station.last_seen, e.last_seen);
    }
    const HeardBy* best = nullptr;
    for (const HeardBy& e : station.heard_by) {
        if (!competes(e, station.last_seen)) {
            continue;
        }
        if (best == nullptr || e.rssi > best->rssi ||
            (e.rssi == best->rssi && e.last_seen > best->last_seen)) {
            best = &e;
        }
    }
    station.strongest = best != nullptr ? best->ap : std::string();
}

bool FleetView::take_status(const std::string& topic_ap, const char* payload, size_t size,
                            FleetTime now) {
    bool online = size == 6 && memcmp(payload, "online", 6) == 0;
    bool offline = size == 7 && memcmp(payload, "offline", 7) == 0;
    if (!valid_ap_id(topic_ap) || (!online && !offline)) {
        counters_.malformed++;
        return false;
    }
    ApView* ap = find_or_add_ap(topic_ap);
    if (ap == nullptr) {
        return true;
    }
    if (online && !ap->online) {
        ap->restarted = true;
    }
    ap->online = online;
    ap->last_heard = now.mono;
    generation_++;
    for (const StatusListener& listener : status_listeners_) {
        listener(topic_ap, online, now.wall);
    }
    return true;
}

bool FleetView::forget_heard(const std::string& id, ApView& ap, int64_t due) {
    bool changed = false;
    int64_t earliest = INT64_MAX;
    for (size_t i = 0; i < ap.heard.size();) {
        auto station = ap.heard[i];
        auto& heard = station->second.heard_by;
        auto e = std::lower_bound(heard.begin(), heard.end(), id,
                                  [](const HeardBy& h, const std::string& k) { return h.ap < k; });
        if (e != heard.end() && e->ap == id && e->heard >= due) {
            earliest = std::min(earliest, e->heard);
            ++i;
            continue;
        }
        if (e != heard.end() && e->ap == id) {
            heard.erase(e);
            changed = true;
        }
        if (heard.empty()) {
            stations_.erase(station);
        } else {
            refresh_station(station->second);
        }
        ap.heard[i] = ap.heard.back();
        ap.heard.pop_back();
    }
    ap.earliest_heard = earliest;
    return changed;
}

void FleetView::forget(FleetTime now) {
    bool changed = false;
    for (auto it = aps_.begin(); it != aps_.end();) {
        ApView& ap = it->second;
        // Sightings not heard for the forget time go; a station with none left goes.
        if (ap.earliest_heard <= now.mono - limits_.forget &&
            forget_heard(it->first, ap, now.mono - limits_.forget + 1)) {
            changed = true;
        }
        // A scan still unfinished two of its intervals after its first part
        // will not be finished: its parts were lost, or never meant to come.
        for (auto g = ap.gathering.begin(); g != ap.gathering.end();) {
            auto next = std::next(g);
            if (now.mono - g->second.started > 2 * g->second.head.interval) {
                drop_gathering(ap, g);
                counters_.incomplete++;
                changed = true;
            }
            g = next;
        }
        // Online or not: an access point that went silent without a word
        // (or an id only ever seen in one status) must not hold its place.
        // Its sightings are no later than its last word, so went above.
        if (ap.last_heard + limits_.forget <= now.mono) {
            while (!ap.gathering.empty()) {
                drop_gathering(ap, ap.gathering.begin());
                counters_.incomplete++;
            }
            forget_heard(it->first, ap, INT64_MAX);
            lost_documents_ -= ap.lost_documents;
            it = aps_.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed) {
        generation_++;
    }
}

void FleetView::place(const std::string& ap, const std::string& site) {
    auto it = aps_.find(ap);
    if (it != aps_.end() && it->second.site != site) {
        it->second.site = site;
        generation_++;
    }
}

}  // namespace fleet
