#include "fleet_homeassistant.h"

#include <json-c/json.h>
#include <mosquitto.h>

#include <cstdio>

#include "client_id.h"
#include "fleet_view.h"

namespace fleet {

namespace {

std::string fleet_topic(const IntakeSettings& settings, const char* last) {
    return settings.prefix + "/fleet/" + settings.client_id + "/" + last;
}

}  // namespace

homeassistant::Device site_device(const IntakeSettings& settings) {
    homeassistant::Device device;
    device.discovery_prefix = settings.homeassistant;
    device.object_id = homeassistant::object_id("site", settings.client_id);
    device.name = "vorlask site " + settings.prefix;
    device.model = "vorlask-fleet collector";
    device.availability_topic = fleet_topic(settings, "availability");
    device.state_topic = fleet_topic(settings, "state");
    device.qos = settings.qos;
    device.sensors.push_back({"people", "People", "people", "", true});
    device.sensors.push_back({"stations", "Stations", "stations", "", true});
    device.sensors.push_back(
        {"access_points_online", "Access points online", "access points", "", true});
    return device;
}

std::string site_state(const FleetView& view) {
    bool any_people = false;
    double people = 0;
    int64_t online = 0;
    for (const auto& entry : view.access_points()) {
        const ApView& ap = entry.second;
        online += ap.online ? 1 : 0;
        if (ap.has_people) {
            any_people = true;
            people += ap.people;
        }
    }
    json_object* state = json_object_new_object();
    json_object* people_value = nullptr;
    if (any_people) {
        char text[32];
        snprintf(text, sizeof text, "%.1f", people);
        people_value = json_object_new_double_s(people, text);
    }
    json_object_object_add(state, "people", people_value);
    json_object_object_add(state, "stations",
                           json_object_new_int64(static_cast<int64_t>(view.stations().size())));
    json_object_object_add(state, "access_points_online", json_object_new_int64(online));
    std::string text = json_object_to_json_string_ext(
        state, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(state);
    return text;
}

FleetHomeAssistant::FleetHomeAssistant(const IntakeSettings& settings)
    : settings_(settings),
      device_(site_device(settings)),
      config_topic_(homeassistant::config_topic(device_)),
      config_(homeassistant::render_config(device_)) {}

bool FleetHomeAssistant::set_will(mosquitto* mosq, std::string& error) {
    if (!client_id_valid(settings_.client_id.data(), settings_.client_id.size())) {
        error = "--homeassistant: the client id '" + settings_.client_id +
                "' cannot be a topic level (at most 64 bytes, no '/', '+', '#' or control "
                "character)";
        return false;
    }
    const int rc = mosquitto_will_set(mosq, device_.availability_topic.c_str(), 7, "offline",
                                      settings_.qos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot set the will: ") + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

bool FleetHomeAssistant::publish(mosquitto* mosq, const std::string& topic,
                                 const std::string& payload) {
    return mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), settings_.qos, true) == MOSQ_ERR_SUCCESS;
}

bool FleetHomeAssistant::connected(mosquitto* mosq, const FleetView& view, std::string& error) {
    const std::string announcements = homeassistant::announcement_topic(settings_.homeassistant);
    int rc = mosquitto_subscribe(mosq, nullptr, announcements.c_str(), 0);
    published_state_.clear();
    if (rc != MOSQ_ERR_SUCCESS || !publish(mosq, device_.availability_topic, "online") ||
        !publish(mosq, config_topic_, config_)) {
        error = "cannot publish Home Assistant's discovery config";
        return false;
    }
    tick(mosq, view);
    return true;
}

bool FleetHomeAssistant::message(mosquitto* mosq, const mosquitto_message* message) {
    if (message->topic == nullptr ||
        homeassistant::announcement_topic(settings_.homeassistant) != message->topic) {
        return false;
    }
    if (homeassistant::announces_online(settings_.homeassistant, message->topic, message->payload,
                                        static_cast<size_t>(message->payloadlen)) &&
        !publish(mosq, config_topic_, config_)) {
        fprintf(stderr, "vorlask-fleet: cannot publish Home Assistant's discovery config again\n");
    }
    return true;
}

void FleetHomeAssistant::tick(mosquitto* mosq, const FleetView& view) {
    std::string state = site_state(view);
    if (state != published_state_ && publish(mosq, device_.state_topic, state)) {
        published_state_ = std::move(state);
    }
}

bool FleetHomeAssistant::going_offline(mosquitto* mosq) {
    return publish(mosq, device_.availability_topic, "offline");
}

}  // namespace fleet
