#include "fleet_homeassistant.h"

#include <json-c/json.h>
#include <mosquitto.h>

#include <cstdio>
#include <cstring>

#include "client_id.h"
#include "fleet_view.h"

namespace fleet {

namespace {

std::string fleet_topic(const IntakeSettings& settings, const char* last) {
    return settings.prefix + "/fleet/" + settings.client_id + "/" + last;
}

void add_text(json_object* object, const char* key, const std::string& value) {
    json_object_object_add(object, key, json_object_new_string(value.c_str()));
}

// One count sensor of the config, in Home Assistant's abbreviated keys.
json_object* count_sensor(const std::string& object_id, const char* key, const char* name,
                          const char* unit) {
    json_object* sensor = json_object_new_object();
    add_text(sensor, "p", "sensor");
    add_text(sensor, "name", name);
    add_text(sensor, "uniq_id", object_id + "_" + key);
    add_text(sensor, "val_tpl", std::string("{{ value_json.") + key + " }}");
    add_text(sensor, "unit_of_meas", unit);
    add_text(sensor, "stat_cla", "measurement");
    return sensor;
}

std::string rendered(json_object* object) {
    std::string text = json_object_to_json_string_ext(
        object, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(object);
    return text;
}

}  // namespace

std::string site_config_topic(const IntakeSettings& settings) {
    return settings.homeassistant + "/device/" +
           homeassistant::object_id("site", settings.client_id) + "/config";
}

std::string site_config(const IntakeSettings& settings) {
    const std::string id = homeassistant::object_id("site", settings.client_id);
    json_object* top = json_object_new_object();
    json_object* dev = json_object_new_object();
    json_object* ids = json_object_new_array();
    json_object_array_add(ids, json_object_new_string(id.c_str()));
    json_object_object_add(dev, "ids", ids);
    add_text(dev, "name", "vorlask site " + settings.prefix);
    add_text(dev, "mf", "vorlask");
    add_text(dev, "mdl", "vorlask-fleet collector");
    add_text(dev, "sw", VORLASK_VERSION);
    json_object_object_add(top, "dev", dev);
    json_object* origin = json_object_new_object();
    add_text(origin, "name", "vorlask");
    add_text(origin, "sw", VORLASK_VERSION);
    json_object_object_add(top, "o", origin);
    add_text(top, "avty_t", fleet_topic(settings, "availability"));
    add_text(top, "stat_t", fleet_topic(settings, "state"));
    json_object_object_add(top, "qos", json_object_new_int(settings.qos));
    json_object* cmps = json_object_new_object();
    json_object_object_add(cmps, "people", count_sensor(id, "people", "People", "people"));
    json_object_object_add(cmps, "stations", count_sensor(id, "stations", "Stations", "stations"));
    json_object_object_add(
        cmps, "access_points_online",
        count_sensor(id, "access_points_online", "Access points online", "access points"));
    json_object_object_add(top, "cmps", cmps);
    return rendered(top);
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
    return rendered(state);
}

FleetHomeAssistant::FleetHomeAssistant(const IntakeSettings& settings)
    : settings_(settings),
      availability_topic_(fleet_topic(settings, "availability")),
      state_topic_(fleet_topic(settings, "state")),
      config_topic_(site_config_topic(settings)),
      config_(site_config(settings)) {}

bool FleetHomeAssistant::set_will(mosquitto* mosq, std::string& error) {
    if (!client_id_valid(settings_.client_id.data(), settings_.client_id.size())) {
        error = "--homeassistant: the client id '" + settings_.client_id +
                "' cannot be a topic level (at most 64 bytes, no '/', '+', '#' or control "
                "character)";
        return false;
    }
    const int rc =
        mosquitto_will_set(mosq, availability_topic_.c_str(), 7, "offline", settings_.qos, true);
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
    const std::string announcements = settings_.homeassistant + "/status";
    int rc = mosquitto_subscribe(mosq, nullptr, announcements.c_str(), 0);
    published_state_.clear();
    if (rc != MOSQ_ERR_SUCCESS || !publish(mosq, availability_topic_, "online") ||
        !publish(mosq, config_topic_, config_)) {
        error = "cannot publish Home Assistant's discovery config";
        return false;
    }
    tick(mosq, view);
    return true;
}

bool FleetHomeAssistant::message(mosquitto* mosq, const mosquitto_message* message) {
    if (message->topic == nullptr || settings_.homeassistant + "/status" != message->topic) {
        return false;
    }
    if (message->payloadlen == 6 && memcmp(message->payload, "online", 6) == 0 &&
        !publish(mosq, config_topic_, config_)) {
        fprintf(stderr, "vorlask-fleet: cannot publish Home Assistant's discovery config again\n");
    }
    return true;
}

void FleetHomeAssistant::tick(mosquitto* mosq, const FleetView& view) {
    std::string state = site_state(view);
    if (state != published_state_ && publish(mosq, state_topic_, state)) {
        published_state_ = std::move(state);
    }
}

bool FleetHomeAssistant::going_offline(mosquitto* mosq) {
    return publish(mosq, availability_topic_, "offline");
}

}  // namespace fleet
