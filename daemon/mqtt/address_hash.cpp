#include "mqtt/address_hash.h"

#include <mbedtls/error.h>
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

namespace {

// The library's result of one HMAC-SHA-256 of the six bytes at `mac`.
int hmac(const uint8_t* mac, const std::string& secret, uint8_t (&digest)[32]) {
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (sha256 == nullptr) {
        return MBEDTLS_ERR_MD_FEATURE_UNAVAILABLE;
    }
    return mbedtls_md_hmac(sha256, reinterpret_cast<const unsigned char*>(secret.data()),
                           secret.size(), mac, 6, digest);
}

}  // namespace

std::string hashed_address(const uint8_t* mac, const std::string& secret) {
    uint8_t digest[32] = {};
    if (hmac(mac, secret, digest) != 0) {
        return "";
    }
    return hex(digest, 8, false);
}

std::string address_hash_failure(const std::string& secret) {
    const uint8_t probe[6] = {0x02, 0, 0, 0, 0, 0x01};
    uint8_t digest[32] = {};
    const int rc = hmac(probe, secret, digest);
    if (rc == 0) {
        return "";
    }
    char text[160];
    mbedtls_strerror(rc, text, sizeof text);
    return text;
}
