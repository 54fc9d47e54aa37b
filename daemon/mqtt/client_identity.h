// The MQTT client id the daemon takes when the configuration sets none: the
// host name and the machine's identity.
#pragma once

#include <string>

// Where the default client id comes from; the real system's files unless a
// test points elsewhere.
struct IdentitySources {
    std::string machine_id_file = "/etc/machine-id";
    std::string net_class_dir = "/sys/class/net";
};

// The host name followed by the machine id (its first 12 hex digits), or by
// the first Ethernet address where there is none; empty if neither exists.
std::string default_client_id(const std::string& host_name, const IdentitySources& sources);
