// The MQTT client the intake drives, made from the collector's settings: its
// client id and session, MQTT 3.1.1, the user name and password, and TLS
// (the broker's certificate checked against the CA, its name against the host
// connected to). The files named are checked for reading first, so that a
// missing one is said by its name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet_options.h"

struct mosquitto;

namespace fleet {

struct IntakeSettings {
    std::vector<BrokerAddress> brokers;
    uint16_t port = 1883;
    std::string prefix = "vorlask";
    std::string client_id;
    bool persistent = false;
    int qos = 1;
    int keepalive = 30;
    std::string username;
    std::string password;
    std::string ca_file, cert_file, key_file;
    int verbose = 0;
    std::string homeassistant;  // Home Assistant's discovery prefix; empty: off
};

// The client id when none is given: "vorlask-fleet-" and the host name for
// the service, which keeps one id (and with it a persistent session) across
// restarts; a --once run adds "-" and six hex digits of `random`, so that it
// does not take the service's session over, nor another run's.
std::string default_client_id(const std::string& host, bool once, uint32_t random);

// A new client whose callbacks get `owner`; nullptr with a message in `error`
// for settings the library refuses.
mosquitto* new_client(const IntakeSettings& settings, void* owner, std::string& error);

}  // namespace fleet
