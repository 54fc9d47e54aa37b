// The text form of a station address that every tool prints and reads:
// six two-digit lower-case hexadecimal bytes joined by colons.
#pragma once

#include <cstdint>
#include <string>

// "aa:bb:cc:dd:ee:ff".
std::string format_mac(const uint8_t mac[6]);
