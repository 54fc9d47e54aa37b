#include "homeassistant_id.h"

#include <cstdio>

namespace homeassistant {

std::string object_id(const char* kind, const std::string& client_id) {
    static const char hex[] = "0123456789abcdef";
    // Written into one buffer: appending byte by byte to a string costs the
    // router's binary more than the whole loop.
    char id[16 + 3 * 64];
    size_t n = static_cast<size_t>(snprintf(id, 16, "vorlask_%s_", kind));
    for (const char c : client_id) {
        if (n + 3 > sizeof id) {
            break;  // longer than a client id can be
        }
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-') {
            id[n++] = c;
        } else {
            id[n++] = '_';
            id[n++] = hex[byte >> 4];
            id[n++] = hex[byte & 15];
        }
    }
    return std::string(id, n);
}

}  // namespace homeassistant
