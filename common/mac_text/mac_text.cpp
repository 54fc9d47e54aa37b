#include "mac_text.h"

#include <cstdio>

std::string format_mac(const uint8_t mac[6]) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_mac(const std::string& text, uint8_t mac[6]) {
    if (text.size() != 17) {
        return false;
    }
    uint8_t parsed[6];
    for (size_t i = 0; i < 6; ++i) {
        const int high = hex_digit(text[3 * i]);
        const int low = hex_digit(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':')) {
            return false;
        }
        parsed[i] = static_cast<uint8_t>(high << 4 | low);
    }
    for (size_t i = 0; i < 6; ++i) {
        mac[i] = parsed[i];
    }
    return true;
}
