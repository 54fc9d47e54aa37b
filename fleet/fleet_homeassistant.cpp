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
    return homeassistant::Device{
        settings.homeassistant,
        homeassistant::object_id("site", settings.client_id),
        "vorlask site " + settings.prefix,
        "vorlask-fleet collector",
        fleet_topic(settings, "availability"),
        fleet_topic(settings, "state"),
        settings.qos,
        {{"people", "People", "people", "", true},
         {"stations", "Stations", "stations", "", true},
         {"access_points_online", "Access points online", "access points", "", true}}};
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
    json_object_object_add(state, "people",
                           any_people ? homeassistant::people_value(people) : nullptr);
    json_object_object_add(state, "stations",
                           json_object_new_int64(static_cast<int64_t>(view.stations().size())));
    json_object_object_add(state, "access_points_online", json_object_new_int64(online));
    return homeassistant::render_state(state);
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
