// The one rule for the name an access point publishes under (its MQTT
// client id, a level of every topic it writes), kept by the daemon when it
// starts and by the collector when it reads: well-formed UTF-8, 1 to 64
// bytes, no control character (C0, DEL, C1) and none of the topic
// characters '/', '+' and '#'.
#pragma once

#include <cstddef>

// True when the `length` bytes at `text` follow the rule.
bool client_id_valid(const char* text, size_t length);
