// The libmosquitto client made from the [mqtt] settings (MQTT 3.1.1, the
// credentials, TLS, the retained "offline" status as its last will), and the
// library's and the socket's errors said in words.
#pragma once

#include <uv.h>

#include <string>

#include "mqtt/mqtt_settings.h"

struct mosquitto;

// A new client whose callbacks get `owner`; nullptr, with the reason
// printed, when it cannot be made or the library refuses the settings.
mosquitto* new_mqtt_client(const MqttSettings& settings, const std::string& status_topic,
                           void* owner);

// Releases a client new_mqtt_client made.
void free_mqtt_client(mosquitto* mosq);

// What went wrong, from a library result and the errno after it.
std::string mqtt_client_error(int rc, int saved_errno);

// What went wrong on the client's socket, watched by `handle`, when libuv
// reports `status` (below 0) for it.
std::string socket_failure(uv_poll_t* handle, int status);
