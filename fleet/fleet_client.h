// The MQTT client the intake drives, made from the collector's settings: its
// client id and session, MQTT 5 with a Maximum Packet Size (a broker then
// sends this client no packet larger than a scan document may be; brokers
// that speak only 3.1.1 get 3.1.1, see use_protocol), the user name and
// password, and TLS
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
    // Sites: a site level after the prefix; partitions: only these partitions' topics.
    bool sites = false;
    std::vector<unsigned> partitions;
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

// The largest packet this client takes: a scan document at its limit with
// room for the topic and the packet's header and properties.
constexpr uint32_t max_packet_size = 256 * 1024 + 4096;

// Sets the protocol of the next connection: MQTT 5 with its CONNECT
// properties (the packet size; a session that outlives the connection when
// `persistent`), or 3.1.1. False with a message in `error` if the library
// refuses.
bool use_protocol(mosquitto* mosq, bool mqtt5, bool persistent, std::string& error);

// Whether a CONNACK's code says the broker does not speak the protocol asked
// for (a 3.1.1 broker answering an MQTT 5 CONNECT).
bool protocol_refused(int connack_code);

// A CONNACK's refusal in words, for either protocol.
std::string connack_text(int code, bool mqtt5);

}  // namespace fleet
