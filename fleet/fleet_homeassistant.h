// Home Assistant discovery for the site as a whole (--homeassistant PREFIX):
// the collector's one device, retained at `<PREFIX>/device/<object id>/config`,
// with the sensors people (the access points' people summed, where known),
// stations (in the merged view) and access points online. Its availability
// is a topic of the collector's own, `<prefix>/fleet/<client id>/availability`
// ("online" once connected, "offline" at the stop and as the client's will),
// its state `<prefix>/fleet/<client id>/state`, both retained; neither ends in
// "scan" or "status", so no collector's subscription takes them for an
// access point's. The config goes out on every connection and again when
// Home Assistant announces "online" on `<PREFIX>/status`; the state on every
// connection and whenever it changes. The access points' own configs are
// theirs: never published here.
#pragma once

#include <string>

#include "fleet_client.h"
#include "homeassistant_id.h"

struct mosquitto;
struct mosquitto_message;

namespace fleet {

class FleetView;

// The collector's config topic and config.
std::string site_config_topic(const IntakeSettings& settings);
std::string site_config(const IntakeSettings& settings);
// {"people":12.5,"stations":40,"access_points_online":3}; "people" is null
// while no access point has said its people.
std::string site_state(const FleetView& view);

class FleetHomeAssistant {
  public:
    explicit FleetHomeAssistant(const IntakeSettings& settings);

    // Before the first connect: the client's will, "offline" retained on the
    // availability topic. False with the reason (a client id that cannot be
    // a topic level, the library's refusal).
    bool set_will(mosquitto* mosq, std::string& error);
    // A connection was accepted: subscribes to Home Assistant's announcements,
    // publishes "online", the config and the state. False with the reason.
    bool connected(mosquitto* mosq, const FleetView& view, std::string& error);
    // True when `message` is Home Assistant's announcement (taken here: an
    // "online" publishes the config again).
    bool message(mosquitto* mosq, const mosquitto_message* message);
    // Once a second while connected: the state, when it changed or is still
    // to be published.
    void tick(mosquitto* mosq, const FleetView& view);
    // Before a clean disconnect, which leaves the will unsent: "offline".
    // False when it could not be handed over (the will is then wanted).
    bool going_offline(mosquitto* mosq);

  private:
    bool publish(mosquitto* mosq, const std::string& topic, const std::string& payload);

    IntakeSettings settings_;
    std::string availability_topic_, state_topic_;
    std::string config_topic_, config_;
    std::string published_state_;  // empty: none on this connection yet
};

}  // namespace fleet
