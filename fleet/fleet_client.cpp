#include "fleet_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace fleet {

namespace {

struct PropertiesDeleter {
    void operator()(mosquitto_property* p) const { mosquitto_property_free_all(&p); }
};

// The MQTT 5 CONNECT properties: the Maximum Packet Size, and for a
// persistent session a Session Expiry Interval that never ends (in MQTT 5 a
// session without one ends with its connection, where 3.1.1 keeps it). None
// for 3.1.1, which has no properties.
//
// libmosquitto takes CONNECT properties only through its blocking
// mosquitto_connect_bind_v5, which stores them in the client (or, given
// none, clears those stored) before it checks its arguments; the connections
// themselves are begun with mosquitto_connect_async, which sends what is
// stored. A port of -1 makes the call store them and return at once, with no
// socket opened.
bool set_connect_properties(mosquitto* mosq, bool mqtt5, bool persistent, std::string& error) {
    mosquitto_property* list = nullptr;
    int rc = MOSQ_ERR_SUCCESS;
    if (mqtt5) {
        rc = mosquitto_property_add_int32(&list, MQTT_PROP_MAXIMUM_PACKET_SIZE, max_packet_size);
        if (rc == MOSQ_ERR_SUCCESS && persistent) {
            rc = mosquitto_property_add_int32(&list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, UINT32_MAX);
        }
    }
    std::unique_ptr<mosquitto_property, PropertiesDeleter> owned(list);
    if (rc != MOSQ_ERR_SUCCESS) {
        error =
            std::string("cannot make the MQTT 5 connection properties: ") + mosquitto_strerror(rc);
        return false;
    }
    rc = mosquitto_connect_bind_v5(mosq, "localhost", -1, 30, nullptr, list);
    if (rc != MOSQ_ERR_INVAL) {
        error = std::string("cannot set the connection properties: ") + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

bool configure(mosquitto* mosq, const IntakeSettings& settings, std::string& error) {
    if (!use_protocol(mosq, true, settings.persistent, error)) {
        return false;
    }
    int rc = MOSQ_ERR_SUCCESS;
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

bool use_protocol(mosquitto* mosq, bool mqtt5, bool persistent, std::string& error) {
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION,
                                  mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot ask for MQTT ") + (mqtt5 ? "5" : "3.1.1") + ": " +
                mosquitto_strerror(rc);
        return false;
    }
    return set_connect_properties(mosq, mqtt5, persistent, error);
}

std::string connack_text(int code, bool mqtt5) {
    if (!mqtt5) {
        return mosquitto_connack_string(code);
    }
    // MQTT 5's codes that have a 3.1.1 counterpart are said in its words, so
    // that what is said does not depend on the protocol a broker speaks.
    switch (code) {
        case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
            return mosquitto_connack_string(CONNACK_REFUSED_PROTOCOL_VERSION);
        case MQTT_RC_CLIENTID_NOT_VALID:
            return mosquitto_connack_string(CONNACK_REFUSED_IDENTIFIER_REJECTED);
        case MQTT_RC_SERVER_UNAVAILABLE:
            return mosquitto_connack_string(CONNACK_REFUSED_SERVER_UNAVAILABLE);
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
            return mosquitto_connack_string(CONNACK_REFUSED_BAD_USERNAME_PASSWORD);
        case MQTT_RC_NOT_AUTHORIZED:
            return mosquitto_connack_string(CONNACK_REFUSED_NOT_AUTHORIZED);
        default:
            return std::string("Connection Refused: ") + mosquitto_reason_string(code) + ".";
    }
}

bool protocol_refused(int connack_code) {
    return connack_code == CONNACK_REFUSED_PROTOCOL_VERSION ||
           connack_code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
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
