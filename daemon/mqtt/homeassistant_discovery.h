// Home Assistant discovery for the access point ([mqtt] homeassistant): its
// one device-based config, retained at `<discovery prefix>/device/<object
// id>/config`, whose availability is the access point's retained status
// topic and whose sensors read a small retained state topic of its own,
// `<prefix>/<client id>/state`, published after every scan (the scan
// document may come in parts). The config goes out on every connection and
// again whenever Home Assistant announces "online" on `<discovery
// prefix>/status`. Off (no key), nothing of it is subscribed or published.
// Written with format strings: on the router every function and string
// operation counts against the binary's size.
#pragma once

#include <string>

#include "mqtt/mqtt_settings.h"
#include "mqtt/scan_document.h"

struct mosquitto;
struct mosquitto_message;
class DeliveryAccounts;

// The state the sensors read after the scan of `doc`, written to `text`:
// {"stations":12,"last_scan":"2026-12-10T02:30:00+00:00"}, with
// "people":3.5,"devices":7 before them under rule = persistent.
constexpr size_t access_point_state_room = 160;
void access_point_state(const ScanDocument& doc, bool crowd, char (&text)[access_point_state_room]);

// The connection's side of it, on the loop thread.
class HomeAssistantLink {
  public:
    explicit HomeAssistantLink(const MqttSettings& settings);

    // A message from the broker: Home Assistant's "online" makes the config due.
    void message(const mosquitto_message* message);
    // The latest scan's state, to be published (a newer one replaces it).
    void set_state(const char* state) {
        if (enabled_) {
            state_.assign(state);
            state_due_ = true;
        }
    }
    // Hands what is due to the library, retained at `qos`, telling
    // `accounts` of each message (it is no scan document). Once a
    // connection was accepted (`connected`), first subscribes to Home
    // Assistant's announcements (a refusal is said) and makes the config and
    // the latest state due.
    void pump(mosquitto* mosq, int qos, DeliveryAccounts& accounts, bool connected);
    bool config_due() const { return config_due_; }
    // The config's topic and the config, compact JSON in Home Assistant's
    // abbreviated keys: `dev`, `o`, `avty_t` (the status topic: Home Assistant's default
    // payloads online and offline), `stat_t`
    // (the state topic), `cmps` with the sensors stations and last_scan,
    // and before them under rule = persistent people and devices.
    const std::string& config_topic() const { return config_topic_; }
    const std::string& config() const { return config_; }

  private:
    bool enabled_;
    std::string announcements_;  // `<discovery prefix>/status`
    std::string config_topic_, config_;
    std::string state_topic_, state_;
    bool config_due_ = false;
    bool state_due_ = false;
};
