#include "fleet_subscriptions.h"

#include <mosquitto.h>

#include <cstring>

namespace fleet {

namespace {

// A SUBACK's code for a refused subscription: 0x80 in MQTT 3.1.1, a reason
// code of 0x80 or more in MQTT 5.
constexpr int refused_code = 0x80;

// The topic level starting at `level`: its end in `end`; false when it is the last level
// or empty.
bool level_of(const char* level, const char*& end) {
    end = strchr(level, '/');
    return end != nullptr && end != level;
}

}  // namespace

FleetSubscriptions::FleetSubscriptions(const std::string& prefix, int qos, bool sites,
                                       const std::vector<unsigned>& partitions)
    : prefix_(prefix), qos_(qos), sites_(sites || !partitions.empty()) {
    std::vector<std::string> fronts;
    if (partitions.empty()) {
        fronts.push_back(prefix + (sites_ ? "/+/+/" : "/+/"));
    }
    for (unsigned n : partitions) {
        partitions_.push_back(std::to_string(n));
        fronts.push_back(prefix + "/" + partitions_.back() + "/+/+/");
    }
    for (const std::string& front : fronts) {
        for (const char* kind : {"scan", "status"}) {
            subs_.push_back(Subscription{front + kind});
        }
    }
}

bool FleetSubscriptions::subscribe(mosquitto* mosq, std::string& error) {
    for (Subscription& s : subs_) {
        s.mid = -1;
        s.granted = false;
        s.delivered = false;
        int rc = mosquitto_subscribe(mosq, &s.mid, s.topic.c_str(), qos_);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot subscribe to " + s.topic + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    return true;
}

bool FleetSubscriptions::refused(int mid, int count, const int* granted, uint64_t now_ms,
                                 std::string& topic) {
    for (Subscription& s : subs_) {
        if (mid != s.mid || mid < 0) {
            continue;
        }
        s.mid = -1;
        // One topic per SUBSCRIBE packet: one return code.
        if (count < 1 || granted[0] >= refused_code) {
            topic = s.topic;
            return true;
        }
        s.granted = true;
        s.granted_at = now_ms;
        return false;
    }
    return false;
}

void FleetSubscriptions::delivered(size_t index) {
    if (index < subs_.size()) {
        subs_[index].delivered = true;
    }
}

std::vector<std::string> FleetSubscriptions::quiet(uint64_t now_ms) {
    std::vector<std::string> silent;
    for (Subscription& s : subs_) {
        if (s.granted && !s.delivered && !s.said_quiet && now_ms - s.granted_at >= quiet_ms) {
            s.said_quiet = true;
            silent.push_back(s.topic);
        }
    }
    return silent;
}

bool FleetSubscriptions::split(const char* topic, Parts& parts) const {
    size_t length = strlen(topic);
    if (length <= prefix_.size() + 1 || memcmp(topic, prefix_.data(), prefix_.size()) != 0 ||
        topic[prefix_.size()] != '/') {
        return false;
    }
    const char* level = topic + prefix_.size() + 1;
    const char* end = nullptr;
    size_t front = 0;  // which partition's pair of subscriptions
    if (!partitions_.empty()) {
        if (!level_of(level, end)) {
            return false;
        }
        while (front < partitions_.size() &&
               partitions_[front].compare(0, std::string::npos, level, end - level) != 0) {
            front++;
        }
        if (front == partitions_.size()) {
            return false;
        }
        level = end + 1;
    }
    if (sites_) {
        if (!level_of(level, end)) {
            return false;
        }
        parts.site.assign(level, end);
        level = end + 1;
    } else {
        parts.site.clear();
    }
    const char* slash = strchr(level, '/');
    if (slash == nullptr) {
        return false;
    }
    if (strcmp(slash + 1, "scan") == 0) {
        parts.kind = scan;
    } else if (strcmp(slash + 1, "status") == 0) {
        parts.kind = status;
    } else {
        return false;
    }
    parts.ap.assign(level, slash);
    parts.subscription = front * 2 + parts.kind;
    return true;
}

}  // namespace fleet
