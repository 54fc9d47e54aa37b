// Home Assistant discovery for the access point ([mqtt] homeassistant): its
// one device-based config, retained at `<discovery prefix>/device/<object
// id>/config`, whose availability is the access point's retained status
// topic and whose sensors read a small retained state topic of its own,
// `<prefix>/<client id>/state`, published after every scan (the scan
// document may come in parts). The config goes out on every connection and
// again whenever Home Assistant announces "online" on `<discovery
// prefix>/status`. Off (no key), nothing of it is subscribed or published.
#pragma once

#include <set>
#include <string>

#include "homeassistant_config.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/scan_document.h"

struct mosquitto;
struct mosquitto_message;
class DeliveryAccounts;

// The access point's device: stations and last scan, and under rule =
// persistent people and devices.
homeassistant::Device access_point_device(const MqttSettings& settings);

// The state the sensors read after the scan of `doc`, compact JSON:
// {"stations":12,"last_scan":"2026-12-10T02:30:00+00:00"}, with
// "people":3.5,"devices":7 before them under rule = persistent.
std::string access_point_state(const ScanDocument& doc, bool crowd);

// The connection's side of it, on the loop thread.
class HomeAssistantLink {
  public:
    explicit HomeAssistantLink(const MqttSettings& settings);

    bool enabled() const { return enabled_; }
    // A connection was accepted: subscribes to Home Assistant's announcements
    // (a refusal is said) and makes the config and the latest state due.
    void connected(mosquitto* mosq);
    // A message from the broker: Home Assistant's "online" makes the config due.
    void message(const mosquitto_message* message);
    // The latest scan's state, to be published (a newer one replaces it).
    void set_state(std::string state);
    // Hands what is due to the library, retained at `qos`. Reports that came
    // before a publish returned are taken back from `accounts`.
    void pump(mosquitto* mosq, int qos, DeliveryAccounts& accounts);
    // Whether the library's report of message `mid` is one of these.
    bool take_report(int mid) { return handed_.erase(mid) != 0; }
    // A connection ended: at QoS 0 the library forgot what it had not written.
    void connection_ended(int qos);

  private:
    bool publish(mosquitto* mosq, const std::string& topic, const std::string& payload, int qos,
                 DeliveryAccounts& accounts);

    bool enabled_;
    std::string discovery_prefix_;
    std::string config_topic_, config_;
    std::string state_topic_, state_;
    bool config_due_ = false;
    bool state_due_ = false;
    std::set<int> handed_;  // message ids handed over, not yet reported
};
