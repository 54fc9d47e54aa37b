#include "fleet_subscriptions.h"

#include <mosquitto.h>

#include <cstring>

namespace fleet {

namespace {

// A SUBACK's code for a refused subscription: 0x80 in MQTT 3.1.1, a reason
// code of 0x80 or more in MQTT 5.
constexpr int refused_code = 0x80;

}  // namespace

FleetSubscriptions::FleetSubscriptions(const std::string& prefix, int qos)
    : prefix_(prefix), qos_(qos), topics_{prefix + "/+/scan", prefix + "/+/status"} {}

bool FleetSubscriptions::subscribe(mosquitto* mosq, std::string& error) {
    for (int kind : {scan, status}) {
        mids_[kind] = -1;
        granted_[kind] = false;
        delivered_[kind] = false;
        int rc = mosquitto_subscribe(mosq, &mids_[kind], topics_[kind].c_str(), qos_);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot subscribe to " + topics_[kind] + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    return true;
}

bool FleetSubscriptions::refused(int mid, int count, const int* granted, uint64_t now_ms,
                                 std::string& topic) {
    for (int kind : {scan, status}) {
        if (mid != mids_[kind] || mid < 0) {
            continue;
        }
        mids_[kind] = -1;
        // One topic per SUBSCRIBE packet: one return code.
        if (count < 1 || granted[0] >= refused_code) {
            topic = topics_[kind];
            return true;
        }
        granted_[kind] = true;
        granted_at_[kind] = now_ms;
        return false;
    }
    return false;
}

std::vector<std::string> FleetSubscriptions::quiet(uint64_t now_ms) {
    std::vector<std::string> silent;
    for (int kind : {scan, status}) {
        if (granted_[kind] && !delivered_[kind] && !said_quiet_[kind] &&
            now_ms - granted_at_[kind] >= quiet_ms) {
            said_quiet_[kind] = true;
            silent.push_back(topics_[kind]);
        }
    }
    return silent;
}

bool FleetSubscriptions::split(const char* topic, std::string& ap, Kind& kind) const {
    size_t length = strlen(topic);
    if (length <= prefix_.size() + 1 || memcmp(topic, prefix_.data(), prefix_.size()) != 0 ||
        topic[prefix_.size()] != '/') {
        return false;
    }
    const char* level = topic + prefix_.size() + 1;
    const char* slash = strchr(level, '/');
    if (slash == nullptr) {
        return false;
    }
    if (strcmp(slash + 1, "scan") == 0) {
        kind = scan;
    } else if (strcmp(slash + 1, "status") == 0) {
        kind = status;
    } else {
        return false;
    }
    ap.assign(level, slash);
    return true;
}

}  // namespace fleet
