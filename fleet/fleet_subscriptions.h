// The collector's subscriptions on each connection: `<prefix>/+/scan` and `<prefix>/+/status`
// for one site; with sites, `<prefix>/+/+/scan` and `/status`, the level after the prefix
// naming the site; with partitions, `<prefix>/N/+/+/scan` and `/status` for each partition N
// (the number a broker's subject mapping put in front of the site). Each is sent once the
// connection is accepted, checked in the broker's SUBACK (a broker's read permissions may refuse
// one there: nats-server's do), and watched for silence, since a broker may instead grant it and
// then withhold every message (Mosquitto's acl_file does): a subscription that delivered nothing
// for quiet_ms after its grant is named once per run.
// Knows the topics and the library's packet ids; the intake says what it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct mosquitto;

namespace fleet {

class FleetSubscriptions {
  public:
    enum Kind { scan = 0, status = 1 };
    static constexpr uint64_t quiet_ms = 60000;

    // What a topic names: its site (empty without sites), access point and kind, and which of
    // the subscriptions it came under.
    struct Parts {
        std::string site;
        std::string ap;
        Kind kind = scan;
        size_t subscription = 0;
    };

    FleetSubscriptions(const std::string& prefix, int qos, bool sites = false,
                       const std::vector<unsigned>& partitions = {});

    // Subscribes to all on a connection just accepted; false with the library's reason.
    bool subscribe(mosquitto* mosq, std::string& error);
    // A SUBACK for packet id `mid` granting `granted[0..count)`: true when it is one of ours
    // and the broker refused it (0x80), with that subscription's topic in `topic`.
    bool refused(int mid, int count, const int* granted, uint64_t now_ms, std::string& topic);
    // A message under subscription `index` (Parts::subscription).
    void delivered(size_t index);
    // The topics granted on this connection at least quiet_ms ago that delivered nothing since,
    // each returned once per run.
    std::vector<std::string> quiet(uint64_t now_ms);

    // Splits a topic of one of the subscribed forms; false for any other.
    bool split(const char* topic, Parts& parts) const;
    const std::string& topic(size_t index) const { return subs_[index].topic; }
    size_t count() const { return subs_.size(); }

  private:
    struct Subscription {
        std::string topic;
        int mid = -1;
        bool granted = false;
        uint64_t granted_at = 0;
        bool delivered = false;
        bool said_quiet = false;
    };

    std::string prefix_;
    int qos_;
    bool sites_;
    std::vector<std::string> partitions_;  // as the topics spell them
    std::vector<Subscription> subs_;       // scan and status for each partition, in turn
};

}  // namespace fleet
