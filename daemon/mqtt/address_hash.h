// How a station address appears in a published scan: plain colon form, or a
// keyed hash that is the same on every access point sharing the site secret,
// so that a fleet view can merge stations without seeing their addresses.
#pragma once

#include <cstdint>
#include <string>

// "00:1a:2b:3c:4d:5e": lower-case hexadecimal, colon-separated.
std::string plain_address(const uint8_t* mac);
// The same 17 characters written to `out` (no terminating NUL).
void write_plain_address(const uint8_t* mac, char* out);

// The first 8 bytes of HMAC-SHA-256 over the six address bytes under
// `secret`, as 16 lower-case hexadecimal digits; empty when the library
// fails (never a hash of nothing, which would merge every station into one).
std::string hashed_address(const uint8_t* mac, const std::string& secret);

// Empty when hashing under `secret` works; else what the library says. Asked
// once at start-up, so that a failing HMAC ends it.
std::string address_hash_failure(const std::string& secret);
