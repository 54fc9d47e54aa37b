#include "fleet_document.h"

namespace fleet {

fleet_page::ViewSnapshot snapshot_of(const FleetView& view, int64_t now) {
    fleet_page::ViewSnapshot s;
    s.time = now;
    s.access_points.reserve(view.access_points().size());
    for (const auto& [id, ap] : view.access_points()) {
        fleet_page::ApState a;
        a.id = id;
        a.site = ap.site;
        a.online = ap.online;
        if (ap.has_scan) {
            a.last_scan = ap.last_scan;
            a.seq = static_cast<int64_t>(ap.seq);
        }
        a.stations = static_cast<int64_t>(ap.stations);
        if (ap.has_crowd)
            a.crowd = ap.crowd;
        if (ap.has_people)
            a.people = ap.people;
        a.lost_documents = static_cast<int64_t>(ap.lost_documents);
        if (ap.clock.known()) {
            a.clock_offset = ap.clock.offset();
            a.clock_off = !ap.clock.trusted();
        }
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
                  {"turned_away", c.turned_away},
                  {"outliers", c.outliers}};
    return s;
}

std::string view_document(const FleetView& view, int64_t now) {
    return fleet_page::render_view(snapshot_of(view, now));
}

}  // namespace fleet
