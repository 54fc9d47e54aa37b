#include "mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

mosquitto* new_mqtt_client(const MqttSettings& settings, const std::string& status_topic,
                           void* owner) {
    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new(settings.client_id.c_str(), true, owner);
    if (mosq == nullptr) {
        fprintf(stderr, "vorlask: mqtt: cannot create the client: %s\n", strerror(errno));
        return nullptr;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.username.empty()) {
        rc = mosquitto_username_pw_set(
            mosq, settings.username.c_str(),
            settings.password.empty() ? nullptr : settings.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings.tls()) {
        rc = mosquitto_tls_set(mosq, settings.ca_file.c_str(), nullptr,
                               settings.cert_file.empty() ? nullptr : settings.cert_file.c_str(),
                               settings.key_file.empty() ? nullptr : settings.key_file.c_str(),
                               nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq, status_topic.c_str(), 7, "offline", settings.qos, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "vorlask: mqtt: the client library refuses the settings: %s\n",
                mosquitto_strerror(rc));
        free_mqtt_client(mosq);
        return nullptr;
    }
    return mosq;
}

void free_mqtt_client(mosquitto* mosq) {
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

std::string mqtt_client_error(int rc, int saved_errno) {
    if (rc == MOSQ_ERR_ERRNO) {
        return strerror(saved_errno);
    }
    if (rc == MOSQ_ERR_EAI) {
        return "cannot resolve the broker's name";
    }
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        return std::string("TLS check failed: ") + mosquitto_strerror(rc);
    }
    return mosquitto_strerror(rc);
}

std::string socket_failure(uv_poll_t* handle, int status) {
    // libuv reports an error condition on the socket as a bad descriptor;
    // the socket's own error says what happened.
    int error = 0;
    socklen_t length = sizeof error;
    uv_os_fd_t fd;
    std::string what = status == UV_EBADF ? "the connection failed" : uv_strerror(status);
    if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        what = strerror(error);
    }
    return what;
}
