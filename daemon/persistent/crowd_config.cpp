#include "persistent/crowd_config.h"

#include <cmath>
#include <string>

#include "chameleon.h"
#include "config_key.h"
#include "mac_text.h"
#include "number_text.h"

namespace {

bool lookup(const Confile& config, const char* key, std::string& value) {
    return config_key(config, "crowd", key, value);
}

void bad_value(const char* path, const char* key, const std::string& value, const char* why) {
    say_bad_value(path, "crowd", key, value, why);
}

bool parse_addresses(const std::string& text, std::vector<std::array<uint8_t, 6>>& out) {
    std::vector<std::array<uint8_t, 6>> read;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(" \t,", at);
        const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (word.empty()) {
            continue;
        }
        std::array<uint8_t, 6> mac;
        if (!parse_mac(word, mac.data())) {
            return false;
        }
        read.push_back(mac);
    }
    out.insert(out.end(), read.begin(), read.end());
    return true;
}

// The keys holding one real number each.
struct RealKey {
    const char* key;
    RealForm form;
    bool above_min;  // the form's min itself is refused
    double CrowdConfig::*field;
    const char* reason;
};
const RealKey real_keys[] = {
    {"people_per_device", RealForm{0, crowd_scale_limit, true}, true,
     &CrowdConfig::people_per_device, "a number above 0, at most 100"},
    {"offset", RealForm{-crowd_offset_limit, crowd_offset_limit}, false, &CrowdConfig::offset,
     "a number from -10000 to 10000"},
    {"burst_gap", RealForm{0, crowd_burst_gap_limit, true}, false, &CrowdConfig::burst_gap,
     "seconds from 0 to 60"},
    {"burst_interval", RealForm{0.001, crowd_burst_interval_limit, true}, false,
     &CrowdConfig::burst_interval, "seconds from 0.001 to 3600"},
};

}  // namespace

bool read_crowd_config(const Confile& config, const char* path, CrowdConfig& crowd) {
    std::string value;
    if (lookup(config, "not_people", value) && !parse_addresses(value, crowd.not_people)) {
        bad_value(path, "not_people", value, "addresses aa:bb:cc:dd:ee:ff separated by blanks");
        return false;
    }
    for (const RealKey& k : real_keys) {
        double v = 0;
        if (!lookup(config, k.key, value)) {
            continue;
        }
        if (read_real(value.c_str(), k.form, v) != NumberRead::ok ||
            (k.above_min && v <= k.form.min)) {
            bad_value(path, k.key, value, k.reason);
            return false;
        }
        crowd.*k.field = v;
    }
    return true;
}

CrowdEstimate crowd_estimate_of(const CrowdConfig& crowd, uint32_t memory_s) {
    return CrowdEstimate(memory_s, std::llround(crowd.burst_gap * 1000),
                         std::llround(crowd.burst_interval * 1000));
}

double people_of(const CrowdConfig& crowd, double devices) {
    const double people = crowd.people_per_device * devices + crowd.offset;
    return people < 0 ? 0 : people;
}
