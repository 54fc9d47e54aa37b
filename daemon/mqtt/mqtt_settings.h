// The [mqtt] section of the configuration file: where and how the daemon
// publishes its scans. Absent (no key of the section set), nothing is
// published and nothing else changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/client_identity.h"

class Confile;

struct MqttSettings {
    bool enabled = false;
    std::vector<std::string> hosts;  // tried in turn
    uint16_t port = 0;               // 1883, or 8883 with TLS, unless set
    std::string client_id;
    std::string prefix = "vorlask";
    int qos = 1;
    int keepalive = 60;  // seconds
    std::string username;
    std::string password;  // read from password_file
    std::string ca_file, cert_file, key_file;
    size_t queue_limit = size_t{1024} * 1024;  // bytes of unsent documents kept
    bool hashed = false;                       // addresses = hashed
    std::string secret;                        // read from secret_file
    // Home Assistant's discovery prefix; empty: no discovery config, no state topic.
    std::string homeassistant;
    bool crowd_sensors = false;  // rule = persistent: people and devices (MqttFeature::start)

    bool tls() const { return !ca_file.empty(); }
    std::string status_topic() const { return prefix + "/" + client_id + "/status"; }
    std::string scan_topic() const { return prefix + "/" + client_id + "/scan"; }
};

// Reads the [mqtt] section of `config` into `settings`. Returns an empty
// string, or the one line that says which key of `path` has which bad value
// (the caller prints it and ends start-up).
std::string read_mqtt_settings(const Confile& config, const char* path, MqttSettings& settings,
                               const IdentitySources& sources = IdentitySources());
