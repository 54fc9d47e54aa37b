#include "fleet_web.h"

namespace fleet {

fleet_page::ViewSnapshot snapshot_of(const FleetView& view, int64_t now) {
    fleet_page::ViewSnapshot s;
    s.time = now;
    s.access_points.reserve(view.access_points().size());
    for (const auto& [id, ap] : view.access_points()) {
        fleet_page::ApState a;
        a.id = id;
        a.online = ap.online;
        if (ap.has_scan) {
            a.last_scan = ap.last_scan;
            a.seq = static_cast<int64_t>(ap.seq);
        }
        a.stations = static_cast<int64_t>(ap.stations);
        if (ap.has_crowd)
            a.crowd = ap.crowd;
        a.lost_documents = static_cast<int64_t>(ap.lost_documents);
        s.access_points.push_back(std::move(a));
    }
    s.stations.reserve(view.stations().size());
    for (const auto& [address, station] : view.stations()) {
        fleet_page::StationState st;
        st.address = address;
        st.hashed = station.form == AddressForm::hashed;
        st.strongest = station.strongest;
        st.last_seen = station.last_seen;
        st.heard_by.reserve(station.heard_by.size());
        for (const HeardBy& h : station.heard_by)
            st.heard_by.push_back({h.ap, h.rssi, h.last_seen});
        s.stations.push_back(std::move(st));
    }
    const ViewCounters& c = view.counters();
    s.counters = {{"parts", c.parts},
                  {"scans", c.scans},
                  {"malformed", c.malformed},
                  {"duplicates", c.duplicates},
                  {"incomplete", c.incomplete},
                  {"late", c.late},
                  {"turned_away", c.turned_away}};
    return s;
}

fleet_page::ScanSample sample_of(const Scan& scan, int64_t receive_time) {
    fleet_page::ScanSample s;
    s.ap = scan.ap;
    s.time = receive_time;
    s.stations = static_cast<int64_t>(scan.stations.size());
    if (scan.has_crowd)
        s.crowd = scan.crowd_estimate;
    s.hearings.reserve(scan.stations.size());
    for (const ScanStation& st : scan.stations)
        s.hearings.push_back({st.address, st.rssi, receive_time - st.last_age});
    return s;
}

bool FleetWeb::start(const FleetOptions& options, std::string& error) {
    fleet_page::PageSettings settings;
    if (!fleet_page::parse_listen_address(options.http, settings.http.address, settings.http.port,
                                          error)) {
        error = "--http " + options.http + ": " + error;
        return false;
    }
    settings.db_path = options.db;
    settings.token_file = options.token_file;
    settings.recorder.retention_seconds = static_cast<int64_t>(options.retention_days) * 86400;
    return page_.start(settings, error);
}

void FleetWeb::tick(const FleetView& view, int64_t now) {
    // An unchanged view is published again every 30 s so ages and offline states move on.
    if (view.generation() == published_generation_ && now - published_time_ < 30)
        return;
    published_generation_ = view.generation();
    published_time_ = now;
    page_.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(view, now)));
}

}  // namespace fleet
