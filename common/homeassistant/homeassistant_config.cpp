#include "homeassistant_config.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace homeassistant {

namespace {

constexpr int render_flags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;

void add_text(json_object* object, const char* key, const std::string& value) {
    json_object_object_add(object, key, json_object_new_string(value.c_str()));
}

json_object* sensor_object(const Device& device, const Sensor& sensor) {
    json_object* s = json_object_new_object();
    add_text(s, "p", "sensor");
    add_text(s, "name", sensor.name);
    add_text(s, "uniq_id", device.object_id + "_" + sensor.key);
    add_text(s, "val_tpl", "{{ value_json." + sensor.key + " }}");
    if (!sensor.unit.empty()) {
        add_text(s, "unit_of_meas", sensor.unit);
    }
    if (!sensor.device_class.empty()) {
        add_text(s, "dev_cla", sensor.device_class);
    }
    if (sensor.measurement) {
        add_text(s, "stat_cla", "measurement");
    }
    return s;
}

}  // namespace

std::string object_id(const char* kind, const std::string& client_id) {
    std::string id = std::string("vorlask_") + kind + "_";
    for (unsigned char c : client_id) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-') {
            id += static_cast<char>(c);
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "_%02x", c);
            id += escaped;
        }
    }
    return id;
}

std::string config_topic(const Device& device) {
    return device.discovery_prefix + "/device/" + device.object_id + "/config";
}

std::string announcement_topic(const std::string& discovery_prefix) {
    return discovery_prefix + "/status";
}

bool announces_online(const std::string& discovery_prefix, const char* topic, const void* payload,
                      size_t size) {
    return topic != nullptr && announcement_topic(discovery_prefix) == topic && size == 6 &&
           memcmp(payload, "online", 6) == 0;
}

std::string render_config(const Device& device) {
    json_object* top = json_object_new_object();
    json_object* dev = json_object_new_object();
    json_object* ids = json_object_new_array();
    json_object_array_add(ids, json_object_new_string(device.object_id.c_str()));
    json_object_object_add(dev, "ids", ids);
    add_text(dev, "name", device.name);
    add_text(dev, "mf", "vorlask");
    add_text(dev, "mdl", device.model);
    add_text(dev, "sw", VORLASK_VERSION);
    json_object_object_add(top, "dev", dev);
    json_object* origin = json_object_new_object();
    add_text(origin, "name", "vorlask");
    add_text(origin, "sw", VORLASK_VERSION);
    json_object_object_add(top, "o", origin);
    add_text(top, "avty_t", device.availability_topic);
    add_text(top, "pl_avail", "online");
    add_text(top, "pl_not_avail", "offline");
    add_text(top, "stat_t", device.state_topic);
    json_object_object_add(top, "qos", json_object_new_int(device.qos));
    json_object* cmps = json_object_new_object();
    for (const Sensor& sensor : device.sensors) {
        json_object_object_add(cmps, sensor.key.c_str(), sensor_object(device, sensor));
    }
    json_object_object_add(top, "cmps", cmps);
    return render_state(top);
}

json_object* people_value(double people) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", people);
    return json_object_new_double_s(people, text);
}

std::string render_state(json_object* state) {
    std::string text = json_object_to_json_string_ext(state, render_flags);
    json_object_put(state);
    return text;
}

std::string iso_time(int64_t unix_seconds) {
    const time_t t = static_cast<time_t>(unix_seconds);
    struct tm utc;
    char text[40] = "1970-01-01T00:00:00+00:00";
    if (gmtime_r(&t, &utc) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    }
    return text;
}

}  // namespace homeassistant
