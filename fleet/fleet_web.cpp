#include "fleet_web.h"

#include <algorithm>

namespace fleet {

fleet_page::ScanSample sample_of(const Scan& scan, int64_t scan_time) {
    fleet_page::ScanSample s;
    s.ap = scan.ap;
    s.time = scan_time;
    s.stations = static_cast<int64_t>(scan.stations.size());
    if (scan.has_crowd)
        s.crowd = scan.crowd_estimate;
    s.hearings.reserve(scan.stations.size());
    for (const ScanStation& st : scan.stations)
        s.hearings.push_back({st.address, st.rssi, scan_time - st.last_age});
    return s;
}

std::vector<fleet_visits::Sighting> sightings_of(const FleetView& view, const Scan& scan) {
    std::vector<fleet_visits::Sighting> out;
    for (const ScanStation& st : scan.stations) {
        if (st.randomised)
            continue;
        auto station = view.stations().find(st.address);
        if (station == view.stations().end())
            continue;  // turned away by a full view
        const auto& heard = station->second.heard_by;
        auto here =
            std::lower_bound(heard.begin(), heard.end(), scan.ap,
                             [](const HeardBy& h, const std::string& id) { return h.ap < id; });
        auto ap = view.access_points().find(station->second.strongest);
        if (here == heard.end() || here->ap != scan.ap || ap == view.access_points().end())
            continue;
        out.push_back(
            {st.address, ap->second.site, ap->first, st.rssi, here->heard, here->last_seen});
    }
    return out;
}

bool FleetWeb::start(const FleetOptions& options, std::string& error) {
    fleet_page::PageSettings settings;
    if (!fleet_page::parse_listen_address(options.http, settings.http.address, settings.http.port,
                                          error)) {
        error = "--http " + options.http + ": " + error;
        return false;
    }
    settings.http.host_names = options.http_hosts;
    settings.http.max_per_address = options.http_per_address;
    settings.db_path = options.db;
    settings.token_file = options.token_file;
    settings.recorder.retention_seconds = static_cast<int64_t>(options.retention_days) * 86400;
    settings.recorder.max_db_bytes = static_cast<int64_t>(options.db_limit_mib) << 20;
    settings.metrics_per_ap = options.metrics_per_ap;
    settings.visits = options.visits;
    if (options.visits)
        settings.recorder.visit_retention_seconds = options.visit_settings.retention_days * 86400;
    if (!page_.start(settings, error))
        return false;
    if (options.visits) {
        // The stations' visit days from the history: returning visitors across restarts.
        const fleet_visits::VisitSettings& v = options.visit_settings;
        visits_.reset(new fleet_visits::VisitTracker(v));
        int64_t today = fleet_now().wall / 86400;
        for (const fleet_page::VisitDays& d :
             page_.visit_days(today - v.retention_days, v.max_known))
            visits_->remember(d.key, d.last_day, d.earlier_day);
        page_.set_visit_totals(visits_->totals());
    }
    return true;
}

void FleetWeb::on_visit_scan(const FleetView& view, const Scan& scan, FleetTime now) {
    if (!visits_)
        return;
    std::vector<fleet_visits::VisitEvent> events;
    for (const fleet_visits::Sighting& s : sightings_of(view, scan))
        visits_->see(s, now.mono, events);
    page_.on_visits(std::move(events));
}

void FleetWeb::tick(const FleetView& view, FleetTime now) {
    if (visits_) {
        std::vector<fleet_visits::VisitEvent> events;
        visits_->expire(now.mono, events);
        page_.on_visits(std::move(events));
        page_.set_visit_totals(visits_->totals());
    }
    // An unchanged view is published again every 30 s so ages and offline states move on.
    if (view.generation() == published_generation_ && now.mono - published_time_ < 30)
        return;
    published_generation_ = view.generation();
    published_time_ = now.mono;
    page_.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(view, now.wall)));
}

}  // namespace fleet
