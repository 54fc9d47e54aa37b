#include "visit_rules.h"

#include <cmath>

#include "number_text.h"

namespace fleet_visits {

namespace {

// A site as it stands in a topic level: 1 to 128 printable bytes, no '/', '+' or '#'.
bool valid_site(const std::string& site) {
    if (site.empty() || site.size() > 128)
        return false;
    for (unsigned char c : site) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '+' || c == '#')
            return false;
    }
    return true;
}

// Minutes, a fraction allowed, as whole seconds in [min_seconds, 1440 minutes].
bool read_minutes(const std::string& text, int64_t min_seconds, int64_t& seconds) {
    double minutes = 0;
    if (read_real(text.c_str(), RealForm{0, 1440, true}, minutes) != NumberRead::ok)
        return false;
    seconds = static_cast<int64_t>(std::llround(minutes * 60));
    return seconds >= min_seconds;
}

}  // namespace

VisitRules VisitSettings::rules_for(const std::string& site) const {
    VisitRules r = rules;
    auto it = sites.find(site);
    if (it == sites.end())
        return r;
    r.visitor_rssi = it->second.visitor_rssi.value_or(r.visitor_rssi);
    r.visitor_dwell = it->second.visitor_dwell.value_or(r.visitor_dwell);
    r.timeout = it->second.timeout.value_or(r.timeout);
    return r;
}

bool is_visit_threshold(const std::string& name) {
    return name == "--visitor-rssi" || name == "--visitor-dwell" || name == "--visit-timeout";
}

bool parse_visit_threshold(const std::string& name, const std::string& value,
                           VisitSettings& settings) {
    // SITE=VALUE: the value is a number, so the last '=' ends the site.
    size_t equals = value.rfind('=');
    std::string number = equals == std::string::npos ? value : value.substr(equals + 1);
    SiteRules* site = nullptr;
    if (equals != std::string::npos) {
        std::string name_of_site = value.substr(0, equals);
        if (!valid_site(name_of_site))
            return false;
        site = &settings.sites[name_of_site];
    }
    if (name == "--visitor-rssi") {
        int64_t dbm = 0;
        if (read_signed(number.c_str(), SignedForm{-128, 20, false}, dbm) != NumberRead::ok)
            return false;
        if (site)
            site->visitor_rssi = static_cast<int>(dbm);
        else
            settings.rules.visitor_rssi = static_cast<int>(dbm);
        return true;
    }
    int64_t seconds = 0;
    bool timeout = name == "--visit-timeout";
    if (!read_minutes(number, timeout ? 1 : 0, seconds))
        return false;
    if (site)
        (timeout ? site->timeout : site->visitor_dwell) = seconds;
    else
        (timeout ? settings.rules.timeout : settings.rules.visitor_dwell) = seconds;
    return true;
}

}  // namespace fleet_visits
