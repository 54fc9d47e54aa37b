#include "mqtt/address_hash.h"

#include <mbedtls/md.h>

namespace {

std::string hex(const uint8_t* bytes, size_t n, bool colons) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (colons && i != 0) {
            text += ':';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

}  // namespace

std::string plain_address(const uint8_t* mac) {
    return hex(mac, 6, true);
}

void write_plain_address(const uint8_t* mac, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < 6; ++i) {
        out[i * 3] = digits[mac[i] >> 4];
        out[i * 3 + 1] = digits[mac[i] & 0x0f];
        if (i != 5) {
            out[i * 3 + 2] = ':';
        }
    }
}

std::string hashed_address(const uint8_t* mac, const std::string& secret) {
    uint8_t digest[32] = {};
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    mbedtls_md_hmac(sha256, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                    mac, 6, digest);
    return hex(digest, 8, false);
}
