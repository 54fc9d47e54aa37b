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

}  // namespace

bool read_crowd_config(const Confile& config, const char* path, CrowdConfig& crowd) {
    std::string value;
    if (lookup(config, "not_people", value) && !parse_addresses(value, crowd.not_people)) {
        bad_value(path, "not_people", value, "addresses aa:bb:cc:dd:ee:ff separated by blanks");
        return false;
    }
    double v = 0;
    if (lookup(config, "people_per_device", value)) {
        if (read_real(value.c_str(), RealForm{0, crowd_scale_limit, true}, v) != NumberRead::ok ||
            v <= 0) {
            bad_value(path, "people_per_device", value, "a number above 0, at most 100");
            return false;
        }
        crowd.people_per_device = v;
    }
    if (lookup(config, "offset", value)) {
        if (read_real(value.c_str(), RealForm{-crowd_offset_limit, crowd_offset_limit}, v) !=
            NumberRead::ok) {
            bad_value(path, "offset", value, "a number from -10000 to 10000");
            return false;
        }
        crowd.offset = v;
    }
    if (lookup(config, "burst_gap", value)) {
        if (read_real(value.c_str(), RealForm{0, crowd_burst_gap_limit, true}, v) !=
            NumberRead::ok) {
            bad_value(path, "burst_gap", value, "seconds from 0 to 60");
            return false;
        }
        crowd.burst_gap = v;
    }
    if (lookup(config, "burst_interval", value)) {
        if (read_real(value.c_str(), RealForm{0, crowd_burst_interval_limit, true}, v) !=
                NumberRead::ok ||
            v < 0.001) {
            bad_value(path, "burst_interval", value, "seconds from 0.001 to 3600");
            return false;
        }
        crowd.burst_interval = v;
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
