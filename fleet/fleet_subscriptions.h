// The collector's two subscriptions, `<prefix>/+/scan` and `<prefix>/+/status`, on each
// connection: sent once it is accepted, each checked in the broker's SUBACK (a broker's read
// permissions may refuse one there: nats-server's do), and watched for silence, since a broker
// may instead grant it and then withhold every message (Mosquitto's acl_file does): a
// subscription that delivered nothing for quiet_ms after its grant is named once per run.
// Knows the topics and the library's packet ids; the intake says what it finds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct mosquitto;

namespace fleet {

class FleetSubscriptions {
  public:
    enum Kind { scan = 0, status = 1 };
    static constexpr uint64_t quiet_ms = 60000;

    FleetSubscriptions(const std::string& prefix, int qos);

    // Subscribes to both on a connection just accepted; false with the library's reason.
    bool subscribe(mosquitto* mosq, std::string& error);
    // A SUBACK for packet id `mid` granting `granted[0..count)`: true when it is one of ours
    // and the broker refused it (0x80), with that subscription's topic in `topic`.
    bool refused(int mid, int count, const int* granted, uint64_t now_ms, std::string& topic);
    // A message on one of the two.
    void delivered(Kind kind) { delivered_[kind] = true; }
    // The topics granted on this connection at least quiet_ms ago that delivered nothing since,
    // each returned once per run.
    std::vector<std::string> quiet(uint64_t now_ms);

    // Splits `<prefix>/<access point>/<kind>`; false for a topic of neither form.
    bool split(const char* topic, std::string& ap, Kind& kind) const;
    const std::string& topic(Kind kind) const { return topics_[kind]; }

  private:
    std::string prefix_;
    int qos_;
    std::string topics_[2];
    int mids_[2] = {-1, -1};
    bool granted_[2] = {false, false};
    uint64_t granted_at_[2] = {0, 0};
    bool delivered_[2] = {false, false};
    bool said_quiet_[2] = {false, false};
};

}  // namespace fleet
