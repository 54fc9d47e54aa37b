#include "fleet_client.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fleet {

namespace {

bool configure(mosquitto* mosq, const IntakeSettings& settings, std::string& error) {
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot ask for MQTT 3.1.1: ") + mosquitto_strerror(rc);
        return false;
    }
    if (!settings.username.empty() &&
        mosquitto_username_pw_set(
            mosq, settings.username.c_str(),
            settings.password.empty() ? nullptr : settings.password.c_str()) != MOSQ_ERR_SUCCESS) {
        error = "cannot use the user name";
        return false;
    }
    for (const std::string* file : {&settings.ca_file, &settings.cert_file, &settings.key_file}) {
        if (!file->empty() && access(file->c_str(), R_OK) != 0) {
            error = "cannot read " + *file + ": " + strerror(errno);
            return false;
        }
    }
    if (!settings.ca_file.empty()) {
        rc = mosquitto_tls_set(mosq, settings.ca_file.c_str(), nullptr,
                               settings.cert_file.empty() ? nullptr : settings.cert_file.c_str(),
                               settings.key_file.empty() ? nullptr : settings.key_file.c_str(),
                               nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot use the TLS files (" + settings.ca_file +
                    (settings.cert_file.empty() ? "" : ", " + settings.cert_file) +
                    (settings.key_file.empty() ? "" : ", " + settings.key_file) +
                    "): " + mosquitto_strerror(rc);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string default_client_id(const std::string& host, bool once, uint32_t random) {
    std::string id = "vorlask-fleet-" + host;
    if (once) {
        char suffix[8];
        snprintf(suffix, sizeof suffix, "-%06x", random & 0xffffffu);
        id += suffix;
    }
    return id;
}

mosquitto* new_client(const IntakeSettings& settings, void* owner, std::string& error) {
    mosquitto* mosq = mosquitto_new(settings.client_id.c_str(), !settings.persistent, owner);
    if (mosq == nullptr) {
        error = std::string("cannot create the MQTT client: ") + strerror(errno);
        return nullptr;
    }
    if (!configure(mosq, settings, error)) {
        mosquitto_destroy(mosq);
        return nullptr;
    }
    return mosq;
}

}  // namespace fleet
