// Command line of vorlask-fleet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "visit_rules.h"

namespace fleet {

struct BrokerAddress {
    std::string host;
    uint16_t port = 0;  // 0: --port (or its default)
};

struct FleetOptions {
    std::vector<BrokerAddress> brokers;  // tried in turn, failing over to the next
    uint16_t port = 0;                   // 0: 1883, or 8883 with --ca-file
    std::string prefix = "vorlask";
    std::string client_id;    // empty: "vorlask-fleet-" and the host name
    bool persistent = false;  // clean session off: the broker keeps what comes while away
    int qos = 1;
    int keepalive = 30;
    std::string username;
    std::string password_file;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    int64_t forget = 600;
    bool once = false;      // print the view once and exit
    bool json = false;      // the view as one JSON document instead of the table
    uint32_t wait = 11;     // --once: seconds to gather after the first connection
    uint64_t count = 0;     // --once: print as soon as this many scans are complete
    uint32_t duration = 0;  // live: exit after this many seconds; 0: until a signal
    uint32_t rows = 20;     // station rows on the live table
    int verbose = 0;
    // The web page (live mode): off unless --http is given.
    std::string http;  // ADDR:PORT or PORT, as given
    std::string db = "/var/lib/vorlask-fleet/history.db";
    std::string token_file;
    uint32_t retention_days = 7;
    uint32_t db_limit_mib = 1024;         // the history database's bound
    std::vector<std::string> http_hosts;  // Host names served besides the address, as given
    uint32_t http_per_address = 16;       // connections from one client address
    uint32_t metrics_per_ap = 2000;       // /metrics: access points with series of their own
    // Visits (--visits, with --http): off unless asked for; their thresholds and retention.
    bool visits = false;
    fleet_visits::VisitSettings visit_settings;
    // Sites: `<prefix>/<site>/<ap>/...`; with partitions, `<prefix>/<n>/<site>/<ap>/...` for
    // only these n (a broker's subject mapping puts the site's partition in front).
    bool sites = false;
    std::vector<unsigned> partitions;  // sorted, none twice; not empty: sites
    // Home Assistant's discovery prefix: the site's config and state; empty: off.
    std::string homeassistant;
};

// Fills `options` from the command line. Returns false with a message in
// `error` for an unknown option, a missing or bad value, or a bad combination.
bool parse_fleet_options(int argc, char** argv, FleetOptions& options, std::string& error);

// Reads the first line of a password file (at most 1,024 bytes, no NUL).
bool read_password_file(const std::string& path, std::string& password, std::string& error);

extern const char* const fleet_usage;

}  // namespace fleet
