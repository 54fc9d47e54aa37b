// What makes a visit and a visitor, per site: the thresholds vorlask-fleet's --visitor-rssi,
// --visitor-dwell and --visit-timeout set, each for every site or, written SITE=VALUE, for one
// site (the topic level a site's access points publish under; the collector's one site is "").
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace fleet_visits {

struct VisitRules {
    int visitor_rssi = -75;       // dBm: a visit's strongest signal at or above it ...
    int64_t visitor_dwell = 300;  // seconds: ... and its dwell at or above it make a visitor
    int64_t timeout = 600;        // seconds unheard that end a visit
};

// One site's own thresholds; what it does not set comes from the rules for every site.
struct SiteRules {
    std::optional<int> visitor_rssi;
    std::optional<int64_t> visitor_dwell, timeout;
};

struct VisitSettings {
    VisitRules rules;  // every site's
    std::map<std::string, SiteRules> sites;
    int64_t retention_days = 30;     // visit rows and the days stations were last seen on
    size_t max_open = 100000;        // open visits; a station beyond is not tracked (counted)
    size_t max_known = 1000000;      // stations whose last visit days are remembered
    int64_t max_length = 12 * 3600;  // a visit heard without a break this long ends there

    VisitRules rules_for(const std::string& site) const;
};

// Whether `name` is one of --visitor-rssi, --visitor-dwell and --visit-timeout.
bool is_visit_threshold(const std::string& name);
// Takes one of them: --visitor-rssi DBM (-128 to 20), --visitor-dwell MINUTES (0 to 1440),
// --visit-timeout MINUTES (a second to 1440 minutes), each as VALUE or SITE=VALUE; minutes may
// have a fraction, kept to the second. False when the value is bad.
bool parse_visit_threshold(const std::string& name, const std::string& value,
                           VisitSettings& settings);

}  // namespace fleet_visits
