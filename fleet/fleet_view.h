// The fleet's one view: every access point with its status and last scan,
// every station with each access point that heard it, its latest signal
// there, the strongest access point and when it was last seen. Fed scan
// document parts and status payloads as they come off the broker, with the
// fleet's own clock; knows nothing of MQTT or of the console. A scan counts
// once all of its parts are in; gaps in an access point's scan numbers are
// counted as lost documents; stations and access points not heard for the
// forget time go, and a scan left unfinished for two of its intervals. Scan
// numbers far from the last are outliers: set aside, not counted as lost.
// A scan is placed at its own time when its access point's clock agrees with
// the fleet's, else at its arrival (ap_clock.h); forgetting always goes by
// arrival. Forgetting and expiry run on the monotonic clock (fleet_clock.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ap_clock.h"
#include "fleet_clock.h"
#include "scan_part.h"

namespace fleet {

// A complete scan: all parts gathered, `stations` holding every part's share
// in order (`part` == `parts`).
using Scan = ScanPart;

struct HeardBy {
    std::string ap;
    int rssi = -128;
    int64_t last_seen = 0;  // fleet clock: the scan's place less the station's age
    int64_t heard = 0;      // monotonic: the scan's arrival less the station's age (forgetting)
    int64_t interval = 0;   // that access point's scan interval
};

struct StationView {
    AddressForm form = AddressForm::plain;
    std::vector<HeardBy> heard_by;  // sorted by access point id
    std::string strongest;
    int64_t last_seen = 0;
};

// A scan being gathered. Only the parts that came hold room: a document
// announcing 1,024 parts and sending one costs one slot, not 1,024.
struct Gathering {
    Scan head;  // the first part in; its stations are in shares
    std::map<int, std::vector<ScanStation>> shares;  // by part number, as they came
    int parts_missing = 0;
    size_t stations = 0;
    size_t cost = 0;      // what it counts against ViewLimits::max_gathered
    int64_t started = 0;  // monotonic arrival of its first part
};

struct ApView {
    // The site the access point's documents came under: the topic level
    // between the prefix and its id when the collector reads sites from the
    // topics, else empty (the collector's one site).
    std::string site;
    bool online = false;
    bool has_scan = false;
    int64_t last_scan = 0;  // fleet receive time of the last complete scan
    uint64_t seq = 0;
    size_t stations = 0;
    bool has_crowd = false;
    int64_t crowd = 0;
    bool has_people = false;  // the crowd estimate in people, from the same scan
    double people = 0;
    int64_t interval = 0;
    uint64_t lost_documents = 0;
    int64_t last_heard = 0;  // monotonic: any status or part
    bool restarted = false;  // came back online since its last complete scan
    ApClock clock;           // its clock against the fleet's
    // Scans being gathered part by part, by scan number.
    std::map<uint64_t, Gathering> gathering;
    // Scan numbers skipped over (counted in lost_documents) that may still
    // arrive late, as QoS 1 redeliveries after a broker fail-over can.
    std::set<uint64_t> missing;
    // Scan numbers beyond the window of the last: the latest, and how many
    // came in a row each a little above the one before.
    uint64_t outlier_seq = 0;
    int outlier_run = 0;
    // The stations it heard, each once (one for each of their heard_by
    // entries of it), and a time no later than the earliest of those
    // sightings: forgetting looks at its stations only once that time is
    // due, so it costs in proportion to what it forgets, not to the view.
    std::vector<std::map<std::string, StationView>::iterator> heard;
    int64_t earliest_heard = INT64_MAX;
};

struct ViewCounters {
    uint64_t parts = 0;        // scan document parts taken in
    uint64_t scans = 0;        // complete scans merged
    uint64_t malformed = 0;    // payloads refused (bad JSON, bad field, wrong access point)
    uint64_t duplicates = 0;   // parts or scans seen before (redelivered at QoS 1)
    uint64_t incomplete = 0;   // scans given up with parts missing
    uint64_t late = 0;         // scans counted lost that came after all (not merged)
    uint64_t turned_away = 0;  // stations, access points or parts refused by a full view
    uint64_t outliers = 0;     // parts whose scan number is far from the last (not merged)
};

struct ViewLimits {
    int64_t forget = 600;  // seconds
    size_t max_stations = 1000000;
    size_t max_aps = 100000;
    size_t max_scan_stations = 100000;  // all parts of one scan (a daemon's whole table)
    // Stations and part slots in unfinished scans, all access points: each
    // part counts one slot, each scan one more, besides its stations.
    size_t max_gathered = 400000;
    size_t max_gathering = 8;   // scans of one access point gathered at once
    size_t max_missing = 1024;  // skipped scan numbers remembered per access point
    // A scan number more than this above or below the last is an outlier;
    // `outlier_run` of them in a row, each above the one before and within
    // the window of it, become the access point's numbering from then on.
    uint64_t seq_window = 100000;
    int outlier_run = 3;
};

class FleetView {
  public:
    // Told the scan and its place on the fleet clock: when it was scanned if
    // its access point's clock is trusted, else when it arrived.
    using ScanListener = std::function<void(const Scan& scan, int64_t scan_time)>;
    using StatusListener = std::function<void(const std::string& ap, bool online, int64_t time)>;

    explicit FleetView(ViewLimits limits = ViewLimits()) : limits_(limits) {}

    // A payload from `<prefix>/<topic_ap>/scan`: parsed, checked (its "ap"
    // must be `topic_ap`), gathered; merged when its scan is complete.
    // Returns false when the payload was refused as malformed.
    bool take_scan_payload(const std::string& topic_ap, const char* payload, size_t size,
                           FleetTime now);
    // A part already parsed, from `topic_ap`'s topic.
    bool take_part(const std::string& topic_ap, ScanPart part, FleetTime now);
    // A payload read elsewhere (intake_reader.h): `read` false when it was
    // refused (counted as malformed); `part` may be left moved from.
    bool take_read_part(const std::string& topic_ap, bool read, ScanPart& part, FleetTime now);
    // A payload from `<prefix>/<topic_ap>/status`: "online" or "offline".
    bool take_status(const std::string& topic_ap, const char* payload, size_t size, FleetTime now);
    // The site an access point's document came under (the collector takes sites): its
    // ApView::site, the latest when it moves; nothing for an access point not in the view.
    void place(const std::string& ap, const std::string& site);

    // Drops what was not heard for the forget time (access points too, online
    // or not), and scans unfinished two of their intervals after their first part.
    void forget(FleetTime now);

    // Told of every complete scan after it was merged, and of every status.
    void add_scan_listener(ScanListener listener) {
        scan_listeners_.push_back(std::move(listener));
    }
    void add_status_listener(StatusListener listener) {
        status_listeners_.push_back(std::move(listener));
    }

    const std::map<std::string, ApView>& access_points() const { return aps_; }
    const std::map<std::string, StationView>& stations() const { return stations_; }
    const ViewCounters& counters() const { return counters_; }
    uint64_t lost_documents() const { return lost_documents_; }
    size_t gathered_stations() const { return gathered_stations_; }
    // Stations and part slots held in unfinished scans (ViewLimits::max_gathered).
    size_t gathered() const { return gathered_; }
    // Bumped by every change; lets a printer skip an unchanged view.
    uint64_t generation() const { return generation_; }

  private:
    ApView* find_or_add_ap(const std::string& id);
    // take_part's work; `part` may be left moved from.
    bool take(const std::string& topic_ap, ScanPart& part, FleetTime now);
    // A scan with all its parts in: merged, or told only if it came late.
    void complete(ApView& ap, const Scan& scan, FleetTime now);
    void merge(ApView& ap, const Scan& scan, FleetTime now);
    void tell(const Scan& scan, int64_t scan_time) const;
    void refresh_station(StationView& station) const;
    void drop_gathering(ApView& ap, std::map<uint64_t, Gathering>::iterator it);
    bool outlier(ApView& ap, uint64_t seq);
    // Drops `ap`'s sightings heard before `due` (all of them: INT64_MAX);
    // true when any went.
    bool forget_heard(const std::string& id, ApView& ap, int64_t due);

    ViewLimits limits_;
    ScanPart reading_;  // the part take_scan_payload reads into
    std::map<std::string, ApView> aps_;
    std::map<std::string, StationView> stations_;
    ViewCounters counters_;
    uint64_t generation_ = 0;
    uint64_t lost_documents_ = 0;   // all access points' lost_documents
    size_t gathered_ = 0;           // stations and part slots held in unfinished scans
    size_t gathered_stations_ = 0;  // of which stations
    std::vector<ScanListener> scan_listeners_;
    std::vector<StatusListener> status_listeners_;
};

}  // namespace fleet
