#include "fleet_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "number_text.h"

namespace fleet {

const char* const fleet_usage =
    "usage: vorlask-fleet [OPTION...]\n"
    "  --host LIST           brokers to try in turn, comma-separated, each HOST or HOST:PORT\n"
    "                        (default localhost)\n"
    "  --port N              broker port (default 1883; 8883 with --ca-file)\n"
    "  --prefix P            topic prefix (default vorlask)\n"
    "  --client-id ID        MQTT client id (default vorlask-fleet-HOSTNAME)\n"
    "  --persistent          clean session off: the broker keeps documents while away\n"
    "  --qos N               subscription QoS, 0 or 1 (default 1)\n"
    "  --keepalive S         keep-alive seconds (default 30)\n"
    "  --username U          user name\n"
    "  --password-file F     file whose first line is the password\n"
    "  --ca-file F           CA certificate: TLS, with the broker's name verified\n"
    "  --cert-file F         client certificate (with --key-file)\n"
    "  --key-file F          client key\n"
    "  --forget S            forget stations not heard for S seconds (default 600)\n"
    "  --once                gather, print the view once and exit\n"
    "  --json                with --once: the view as one JSON document\n"
    "  --wait S              with --once: gather for S seconds after connecting (default 11)\n"
    "  --count N             with --once: print as soon as N scans are complete\n"
    "  --duration S          live table: exit after S seconds\n"
    "  --rows N              live table: station rows shown (default 20)\n"
    "  --http ADDR:PORT      serve the web page and its JSON interface (PORT alone:\n"
    "                        127.0.0.1); off by default\n"
    "  --db FILE             web page: history database\n"
    "                        (default /var/lib/vorlask-fleet/history.db)\n"
    "  --http-host NAME      web page: also serve requests for NAME or NAME:PORT (Host\n"
    "                        header); repeatable\n"
    "  --http-per-address N  web page: connections from one address (default 16)\n"
    "  --token-file F        web page: ask for the access token on F's first line\n"
    "  --retention DAYS      web page: history kept (default 7)\n"
    "  --db-limit MIB        web page: the history database's bound (default 1024)\n"
    "  --metrics-per-ap N    /metrics: series for the first N access points (default\n"
    "                        2000; 0: totals only)\n"
    "  --visits              web page: visits of the stations whose addresses are not\n"
    "                        randomised, kept in the history (off by default)\n"
    "  --visitor-rssi [SITE=]DBM\n"
    "                        visits: a visitor's strongest signal, at least (default -75)\n"
    "  --visitor-dwell [SITE=]MIN\n"
    "                        visits: a visitor's dwell, at least (default 5)\n"
    "  --visit-timeout [SITE=]MIN\n"
    "                        visits: unheard this long ends a visit (default 10)\n"
    "  --visit-retention DAYS\n"
    "                        visits: kept in the history (default 30)\n"
    "  --sites               topics carry a site after the prefix: PREFIX/SITE/AP/scan\n"
    "  --partitions LIST     take only these partitions, comma-separated numbers:\n"
    "                        PREFIX/N/SITE/AP/scan (with --sites implied)\n"
    "  --homeassistant P     publish the site's Home Assistant discovery config under\n"
    "                        prefix P (Home Assistant's default: homeassistant)\n"
    "  -v, --verbose         say more on standard error\n";

namespace {

bool valid_topic_level_text(const std::string& text) {
    if (text.empty() || text.size() > 128) {
        return false;
    }
    for (char c : text) {
        if (c < 0x21 || c > 0x7e || c == '+' || c == '#') {
            return false;
        }
    }
    return text.front() != '/' && text.back() != '/';
}

bool parse_hosts(const std::string& list, std::vector<BrokerAddress>& out) {
    out.clear();
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        BrokerAddress broker;
        // HOST:PORT, where HOST holds no colon (an IPv6 address goes bare).
        size_t colon = item.rfind(':');
        if (colon != std::string::npos && item.find(':') == colon) {
            uint64_t port = 0;
            if (read_unsigned(item.c_str() + colon + 1, UnsignedForm{1, 65535}, port) !=
                NumberRead::ok) {
                return false;
            }
            broker.port = static_cast<uint16_t>(port);
            item.resize(colon);
        }
        if (item.empty() || item.size() > 253) {
            return false;
        }
        broker.host = item;
        out.push_back(broker);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return !out.empty() && out.size() <= 32;
}

// Partition numbers 0..9999, comma-separated, at most 256, none twice; sorted.
bool parse_partitions(const std::string& list, std::vector<unsigned>& out) {
    out.clear();
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t n = 0;
        if (read_unsigned(item.c_str(), UnsignedForm{0, 9999}, n) != NumberRead::ok ||
            out.size() >= 256) {
            return false;
        }
        out.push_back(static_cast<unsigned>(n));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    std::sort(out.begin(), out.end());
    return std::adjacent_find(out.begin(), out.end()) == out.end();
}

}  // namespace

bool parse_fleet_options(int argc, char** argv, FleetOptions& options, std::string& error) {
    static const char* const flags[] = {"--persistent", "--once",    "--json",
                                        "-v",           "--verbose", "--sites"};
    static const char* const valued[] = {"--host",       "--port",
                                         "--prefix",     "--client-id",
                                         "--qos",        "--keepalive",
                                         "--username",   "--password-file",
                                         "--ca-file",    "--cert-file",
                                         "--key-file",   "--forget",
                                         "--wait",       "--count",
                                         "--duration",   "--rows",
                                         "--http",       "--db",
                                         "--token-file", "--retention",
                                         "--http-host",  "--http-per-address",
                                         "--db-limit",   "--metrics-per-ap",
                                         "--partitions", "--homeassistant"};
    // The visits' own: --visits, and its thresholds and retention.
    static const char* const visit_valued[] = {"--visitor-rssi", "--visitor-dwell",
                                               "--visit-timeout", "--visit-retention"};
    std::string visit_option;  // the last of them given
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        bool is_flag = false, is_valued = false;
        for (const char* f : flags) {
            is_flag = is_flag || name == f;
        }
        for (const char* v : valued) {
            is_valued = is_valued || name == v;
        }
        for (const char* v : visit_valued) {
            is_valued = is_valued || name == v;
        }
        if (name == "--visits") {
            options.visits = true;
            continue;
        }
        if (is_flag) {
            if (name == "--persistent") {
                options.persistent = true;
            } else if (name == "--once") {
                options.once = true;
            } else if (name == "--json") {
                options.json = true;
            } else if (name == "--sites") {
                options.sites = true;
            } else {
                options.verbose++;
            }
            continue;
        }
        if (!is_valued) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return false;
        }
        std::string value = argv[++i];
        uint64_t n = 0;
        bool ok = true;
        if (name == "--host") {
            ok = parse_hosts(value, options.brokers);
        } else if (name == "--port") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 65535}, n) == NumberRead::ok;
            options.port = static_cast<uint16_t>(n);
        } else if (name == "--prefix") {
            ok = valid_topic_level_text(value);
            options.prefix = value;
        } else if (name == "--client-id") {
            ok = !value.empty() && value.size() <= 128;
            options.client_id = value;
        } else if (name == "--qos") {
            ok = read_unsigned(value.c_str(), UnsignedForm{0, 1}, n) == NumberRead::ok;
            options.qos = static_cast<int>(n);
        } else if (name == "--keepalive") {
            ok = read_unsigned(value.c_str(), UnsignedForm{5, 65535}, n) == NumberRead::ok;
            options.keepalive = static_cast<int>(n);
        } else if (name == "--username") {
            ok = !value.empty() && value.size() <= 128;
            options.username = value;
        } else if (name == "--password-file") {
            options.password_file = value;
        } else if (name == "--ca-file") {
            options.ca_file = value;
        } else if (name == "--cert-file") {
            options.cert_file = value;
        } else if (name == "--key-file") {
            options.key_file = value;
        } else if (name == "--forget") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 31 * 86400}, n) == NumberRead::ok;
            options.forget = static_cast<int64_t>(n);
        } else if (name == "--wait") {
            ok = read_unsigned(value.c_str(), UnsignedForm{0, 86400}, n) == NumberRead::ok;
            options.wait = static_cast<uint32_t>(n);
        } else if (name == "--count") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, UINT64_MAX}, n) == NumberRead::ok;
            options.count = n;
        } else if (name == "--duration") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 31 * 86400}, n) == NumberRead::ok;
            options.duration = static_cast<uint32_t>(n);
        } else if (name == "--http") {
            ok = !value.empty();
            options.http = value;
        } else if (name == "--db") {
            ok = !value.empty();
            options.db = value;
        } else if (name == "--http-host") {
            // The name's form is checked where the page starts; here only its size and count.
            ok = !value.empty() && value.size() <= 261 && options.http_hosts.size() < 32;
            options.http_hosts.push_back(value);
        } else if (name == "--http-per-address") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 64}, n) == NumberRead::ok;
            options.http_per_address = static_cast<uint32_t>(n);
        } else if (name == "--token-file") {
            ok = !value.empty();
            options.token_file = value;
        } else if (name == "--retention") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 3660}, n) == NumberRead::ok;
            options.retention_days = static_cast<uint32_t>(n);
        } else if (fleet_visits::is_visit_threshold(name)) {
            ok = fleet_visits::parse_visit_threshold(name, value, options.visit_settings);
            visit_option = name;
        } else if (name == "--visit-retention") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 3660}, n) == NumberRead::ok;
            options.visit_settings.retention_days = static_cast<int64_t>(n);
            visit_option = name;
        } else if (name == "--homeassistant") {
            ok = valid_topic_level_text(value);
            options.homeassistant = value;
        } else if (name == "--db-limit") {
            ok = read_unsigned(value.c_str(), UnsignedForm{1, 1048576}, n) == NumberRead::ok;
            options.db_limit_mib = static_cast<uint32_t>(n);
        } else if (name == "--metrics-per-ap") {
            ok = read_unsigned(value.c_str(), UnsignedForm{0, 1000000}, n) == NumberRead::ok;
            options.metrics_per_ap = static_cast<uint32_t>(n);
        } else if (name == "--partitions") {
            ok = parse_partitions(value, options.partitions);
            options.sites = true;
        } else {
            ok = read_unsigned(value.c_str(), UnsignedForm{0, 100000}, n) == NumberRead::ok;
            options.rows = static_cast<uint32_t>(n);
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (options.brokers.empty()) {
        options.brokers.push_back(BrokerAddress{"localhost", 0});
    }
    if (options.json && !options.once) {
        error = "--json needs --once";
        return false;
    }
    if (options.http.empty() && !options.http_hosts.empty()) {
        error = "--http-host needs --http";
        return false;
    }
    if (!options.http.empty() && options.once) {
        error = "--http serves the live view: not with --once";
        return false;
    }
    if (!visit_option.empty() && !options.visits) {
        error = visit_option + " needs --visits";
        return false;
    }
    if (options.visits && options.http.empty()) {
        error = "--visits keeps visits in the web page's history: it needs --http";
        return false;
    }
    if (!options.homeassistant.empty() && options.once) {
        error = "--homeassistant publishes the live view: not with --once";
        return false;
    }
    if ((options.cert_file.empty()) != (options.key_file.empty())) {
        error = "--cert-file and --key-file go together";
        return false;
    }
    if (!options.cert_file.empty() && options.ca_file.empty()) {
        error = "--cert-file needs --ca-file";
        return false;
    }
    if (!options.password_file.empty() && options.username.empty()) {
        error = "--password-file needs --username";
        return false;
    }
    if (options.port == 0) {
        options.port = options.ca_file.empty() ? 1883 : 8883;
    }
    return true;
}

bool read_password_file(const std::string& path, std::string& password, std::string& error) {
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    char buffer[1026];
    size_t n = fread(buffer, 1, sizeof buffer, f);
    bool read_error = ferror(f) != 0;
    fclose(f);
    if (read_error) {
        error = "cannot read " + path;
        return false;
    }
    std::string text(buffer, n);
    size_t end = text.find('\n');
    if (end == std::string::npos) {
        if (n > 1024) {
            error = path + ": password longer than 1024 bytes";
            return false;
        }
        end = text.size();
    }
    text.resize(end);
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.empty() || text.size() > 1024 || text.find('\0') != std::string::npos) {
        error = path + ": no password on its first line";
        return false;
    }
    password = text;
    return true;
}

}  // namespace fleet
