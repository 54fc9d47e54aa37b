#include "mqtt/homeassistant_discovery.h"

#include <json-c/json.h>
#include <mosquitto.h>

#include <utility>

#include "mqtt/delivery_accounts.h"

homeassistant::Device access_point_device(const MqttSettings& settings) {
    homeassistant::Device device{settings.homeassistant,
                                 homeassistant::object_id("ap", settings.client_id),
                                 "vorlask " + settings.client_id,
                                 "access point",
                                 settings.status_topic(),
                                 settings.state_topic(),
                                 settings.qos,
                                 {}};
    if (settings.crowd_sensors) {
        device.sensors.push_back({"people", "People", "people", "", true});
        device.sensors.push_back({"devices", "Devices", "devices", "", true});
    }
    device.sensors.push_back({"stations", "Stations", "stations", "", true});
    device.sensors.push_back({"last_scan", "Last scan", "", "timestamp", false});
    return device;
}

std::string access_point_state(const ScanDocument& doc, bool crowd) {
    json_object* state = json_object_new_object();
    if (crowd) {
        json_object_object_add(state, "people", homeassistant::people_value(doc.totals.people));
        json_object_object_add(state, "devices", json_object_new_int64(doc.totals.estimate));
    }
    json_object_object_add(state, "stations",
                           json_object_new_int64(static_cast<int64_t>(doc.rows.size())));
    json_object_object_add(state, "last_scan",
                           json_object_new_string(homeassistant::iso_time(doc.time).c_str()));
    return homeassistant::render_state(state);
}

HomeAssistantLink::HomeAssistantLink(const MqttSettings& settings)
    : enabled_(!settings.homeassistant.empty()), discovery_prefix_(settings.homeassistant) {
    if (enabled_) {
        const homeassistant::Device device = access_point_device(settings);
        config_topic_ = homeassistant::config_topic(device);
        config_ = homeassistant::render_config(device);
        state_topic_ = device.state_topic;
    }
}

void HomeAssistantLink::connected(mosquitto* mosq) {
    if (!enabled_) {
        return;
    }
    config_due_ = true;
    state_due_ = !state_.empty();
    const std::string topic = homeassistant::announcement_topic(discovery_prefix_);
    const int rc = mosquitto_subscribe(mosq, nullptr, topic.c_str(), 0);
    if (rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "vorlask: mqtt: cannot subscribe to %s: %s\n", topic.c_str(),
                mosquitto_strerror(rc));
    }
}

void HomeAssistantLink::message(const mosquitto_message* message) {
    if (enabled_ &&
        homeassistant::announces_online(discovery_prefix_, message->topic, message->payload,
                                        static_cast<size_t>(message->payloadlen))) {
        config_due_ = true;
    }
}

void HomeAssistantLink::set_state(std::string state) {
    if (enabled_) {
        state_ = std::move(state);
        state_due_ = true;
    }
}

void HomeAssistantLink::pump(mosquitto* mosq, int qos, DeliveryAccounts& accounts) {
    if (config_due_) {
        config_due_ = !publish(mosq, config_topic_, config_, qos, accounts);
    }
    if (state_due_ && !config_due_) {
        state_due_ = !publish(mosq, state_topic_, state_, qos, accounts);
    }
}

bool HomeAssistantLink::publish(mosquitto* mosq, const std::string& topic,
                                const std::string& payload, int qos, DeliveryAccounts& accounts) {
    int mid = 0;
    if (mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), qos, true) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    // The library may have reported it sent already (QoS 0), to the accounts.
    if (accounts.reported(mid)) {
        accounts.status_handed(mid);
    } else {
        handed_.insert(mid);
    }
    return true;
}

void HomeAssistantLink::connection_ended(int qos) {
    if (qos == 0) {
        handed_.clear();
    }
}
