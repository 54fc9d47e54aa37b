#include "mqtt/homeassistant_discovery.h"

#include <mosquitto.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "homeassistant_id.h"
#include "mqtt/delivery_accounts.h"

namespace {

// Appends printf's output for `format`.
__attribute__((format(printf, 2, 3))) void appendf(std::string& out, const char* format, ...) {
    va_list args;
    va_list again;
    va_start(args, format);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, again);
        out.resize(at + static_cast<size_t>(n));
    }
    va_end(again);
}

// `text` inside a JSON string: client ids and topic levels hold no control
// character, but may hold '"' and '\'.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// clang-format off
#define COUNT_SENSOR(key, name, unit)                                                         \
    "\"" key "\":{\"p\":\"sensor\",\"name\":\"" name "\",\"uniq_id\":\"%1$s_" key "\","          \
    "\"val_tpl\":\"{{ value_json." key " }}\",\"unit_of_meas\":\"" unit "\","                    \
    "\"stat_cla\":\"measurement\"},"
#define LAST_SCAN_SENSOR                                                                      \
    "\"last_scan\":{\"p\":\"sensor\",\"name\":\"Last scan\",\"uniq_id\":\"%1$s_last_scan\","      \
    "\"val_tpl\":\"{{ value_json.last_scan }}\",\"dev_cla\":\"timestamp\"}"

// %1$s the object id, %2$s the client id, %3$s the prefix (both escaped),
// %4$d the QoS, %5$s the crowd's sensors or nothing.
const char config_format[] =
    "{\"dev\":{\"ids\":[\"%1$s\"],\"name\":\"vorlask %2$s\",\"mf\":\"vorlask\","
    "\"mdl\":\"access point\",\"sw\":\"" VORLASK_VERSION "\"},"
    "\"o\":{\"name\":\"vorlask\",\"sw\":\"" VORLASK_VERSION "\"},"
    "\"avty_t\":\"%3$s/%2$s/status\",\"stat_t\":\"%3$s/%2$s/state\",\"qos\":%4$d,"
    "\"cmps\":{%5$s" COUNT_SENSOR("stations", "Stations", "stations") LAST_SCAN_SENSOR "}}";
const char crowd_format[] =
    COUNT_SENSOR("people", "People", "people") COUNT_SENSOR("devices", "Devices", "devices");
// clang-format on

void discovery(const MqttSettings& settings, std::string& topic, std::string& config) {
    const std::string id = homeassistant::object_id("ap", settings.client_id);
    topic.clear();
    appendf(topic, "%s/device/%s/config", settings.homeassistant.c_str(), id.c_str());
    std::string crowd;
    if (settings.crowd_sensors) {
        appendf(crowd, crowd_format, id.c_str());
    }
    config.clear();
    appendf(config, config_format, id.c_str(), escaped(settings.client_id).c_str(),
            escaped(settings.prefix).c_str(), settings.qos, crowd.c_str());
}

// Retained, at `qos`; the accounts learn its message id.
bool publish(mosquitto* mosq, const std::string& topic, const std::string& payload, int qos,
             DeliveryAccounts& accounts) {
    int mid = 0;
    if (mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), qos, true) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    accounts.other_handed(mid);
    return true;
}

}  // namespace

void access_point_state(const ScanDocument& doc, bool crowd,
                        char (&text)[access_point_state_room]) {
    // Numbers and a time: nothing to escape.
    const time_t t = static_cast<time_t>(doc.time);
    struct tm utc;
    char when[32] = "1970-01-01T00:00:00+00:00";
    if (gmtime_r(&t, &utc) != nullptr) {
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    }
    char figures[64] = "";
    if (crowd) {
        snprintf(figures, sizeof figures, "\"people\":%.1f,\"devices\":%lu,", doc.totals.people,
                 static_cast<unsigned long>(doc.totals.estimate));
    }
    snprintf(text, sizeof text, "{%s\"stations\":%lu,\"last_scan\":\"%s\"}", figures,
             static_cast<unsigned long>(doc.rows.size()), when);
}

HomeAssistantLink::HomeAssistantLink(const MqttSettings& settings)
    : enabled_(!settings.homeassistant.empty()) {
    if (enabled_) {
        discovery(settings, config_topic_, config_);
        appendf(announcements_, "%s/status", settings.homeassistant.c_str());
        appendf(state_topic_, "%s/%s/state", settings.prefix.c_str(), settings.client_id.c_str());
    }
}

void HomeAssistantLink::message(const mosquitto_message* message) {
    if (enabled_ && message->topic != nullptr &&
        strcmp(announcements_.c_str(), message->topic) == 0 && message->payloadlen == 6 &&
        memcmp(message->payload, "online", 6) == 0) {
        config_due_ = true;
    }
}

void HomeAssistantLink::pump(mosquitto* mosq, int qos, DeliveryAccounts& accounts, bool connected) {
    if (!enabled_) {
        return;
    }
    if (connected) {
        config_due_ = true;
        state_due_ = !state_.empty();
        const int rc = mosquitto_subscribe(mosq, nullptr, announcements_.c_str(), 0);
        if (rc != MOSQ_ERR_SUCCESS) {
            fprintf(stderr, "vorlask: mqtt: cannot subscribe to %s: %s\n", announcements_.c_str(),
                    mosquitto_strerror(rc));
        }
    }
    if (config_due_) {
        config_due_ = !publish(mosq, config_topic_, config_, qos, accounts);
    }
    if (state_due_ && !config_due_) {
        state_due_ = !publish(mosq, state_topic_, state_, qos, accounts);
    }
}
