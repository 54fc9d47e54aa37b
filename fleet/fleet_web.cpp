#include "fleet_web.h"

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
    return page_.start(settings, error);
}

void FleetWeb::tick(const FleetView& view, FleetTime now) {
    // An unchanged view is published again every 30 s so ages and offline states move on.
    if (view.generation() == published_generation_ && now.mono - published_time_ < 30)
        return;
    published_generation_ = view.generation();
    published_time_ = now.mono;
    page_.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(view, now.wall)));
}

}  // namespace fleet
