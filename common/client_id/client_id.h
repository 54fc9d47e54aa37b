// The rule every program applies to an access point's MQTT client id, which is
// also one level of the topics it publishes under.
#pragma once

#include <cstddef>

// Longest client id in bytes.
constexpr size_t max_client_id_bytes = 64;

// True when the length bytes at text are 1 to 64 bytes of well-formed UTF-8
// (shortest form, no surrogates, nothing above U+10FFFF) holding no control
// character (U+0000-U+001F, U+007F, U+0080-U+009F) and none of '/', '+', '#'.
// Neither allocates nor throws.
bool client_id_valid(const char* text, size_t length);
