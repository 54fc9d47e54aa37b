// The text form of a station address that every tool prints and reads:
// six two-digit lower-case hexadecimal bytes joined by colons.
#pragma once

#include <cstdint>
#include <string>

// "aa:bb:cc:dd:ee:ff".
std::string format_mac(const uint8_t mac[6]);

// The value of one hexadecimal digit, either case; -1 for any other character.
int hex_digit(char c);

// Reads "aa:bb:cc:dd:ee:ff" (either case) into `mac`; false, leaving `mac`
// untouched, for any other text.
bool parse_mac(const std::string& text, uint8_t mac[6]);
