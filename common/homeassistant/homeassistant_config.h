// One device's discovery config for Home Assistant, device-based: published
// retained at `<discovery prefix>/device/<object id>/config`, it names the
// device (`dev`), the program that publishes it (`o`), the topic telling
// whether the device is available (`avty_t`, "online" / "offline"), the one
// state topic its sensors read (`stat_t`, a JSON object; each sensor's
// `val_tpl` takes its own member) and the sensors (`cmps`), in Home
// Assistant's abbreviated keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct json_object;

namespace homeassistant {

struct Sensor {
    std::string key;           // its name in `cmps`, in its unique id and in the state
    std::string name;          // shown in Home Assistant
    std::string unit;          // empty: none (a timestamp)
    std::string device_class;  // empty: none
    bool measurement = true;   // state_class measurement (a number)
};

struct Device {
    std::string discovery_prefix;  // Home Assistant's, e.g. "homeassistant"
    std::string object_id;         // also its identifier and the start of each unique id
    std::string name;
    std::string model;
    std::string availability_topic;
    std::string state_topic;
    int qos = 1;
    std::vector<Sensor> sensors;
};

// `kind` ("ap" or "site") and the client id made a topic level of only
// [a-zA-Z0-9_-]: "vorlask_<kind>_" and the id with every byte but letters,
// digits and '-' written as '_' and two lowercase hex digits. The id can be
// read back from it, so two ids never share one.
std::string object_id(const char* kind, const std::string& client_id);

// `<discovery prefix>/device/<object id>/config`.
std::string config_topic(const Device& device);
// Where Home Assistant announces itself: `<discovery prefix>/status`.
std::string announcement_topic(const std::string& discovery_prefix);
// Whether a message on `topic` is Home Assistant saying "online" under
// `discovery_prefix` (its configs are to be published again).
bool announces_online(const std::string& discovery_prefix, const char* topic, const void* payload,
                      size_t size);

// The config, compact JSON.
std::string render_config(const Device& device);

// A state's people figure, to one decimal as the scan document gives it.
json_object* people_value(double people);
// `state` (released here) as compact JSON.
std::string render_state(json_object* state);

// `unix_seconds` in ISO 8601 with its zone, the form of a timestamp sensor's
// state: "2026-12-10T02:30:00+00:00".
std::string iso_time(int64_t unix_seconds);

}  // namespace homeassistant
