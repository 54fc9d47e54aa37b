#include "mqtt/address_hash.h"

#include <mbedtls/error.h>
#include <mbedtls/md.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Every byte's two digits, "00" to "ff".
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        for (size_t i = 0; i < 256; ++i) {
            text[2 * i] = hex_digits[i >> 4];
            text[2 * i + 1] = hex_digits[i & 0x0f];
        }
    }
};
constexpr HexPairs hex_pairs;

}  // namespace

std::string plain_address(const uint8_t* mac) {
    std::string text(17, ':');
    write_plain_address(mac, text.data());
    return text;
}

void write_plain_address(const uint8_t* mac, char* out) {
    for (size_t i = 0; i < 5; ++i) {
        memcpy(out + i * 3, hex_pairs.text + size_t{2} * mac[i], 2);
        out[i * 3 + 2] = ':';
    }
    memcpy(out + 15, hex_pairs.text + size_t{2} * mac[5], 2);
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

// The 16 digits of hashed_address at `out`; false when the library fails.
bool write_hashed_address(const uint8_t* mac, const std::string& secret, char* out) {
    uint8_t digest[32] = {};
    if (hmac(mac, secret, digest) != 0) {
        return false;
    }
    for (size_t i = 0; i < 8; ++i) {
        memcpy(out + i * 2, hex_pairs.text + size_t{2} * digest[i], 2);
    }
    return true;
}

}  // namespace

std::string hashed_address(const uint8_t* mac, const std::string& secret) {
    char text[16];
    return write_hashed_address(mac, secret, text) ? std::string(text, sizeof text) : "";
}

std::string_view AddressHashCache::lookup(const uint8_t* mac) {
    uint64_t key = uint64_t{1} << 63;
    for (size_t i = 0; i < 6; ++i) {
        key |= uint64_t{mac[i]} << (40 - 8 * i);
    }
    size_t at = slots_.empty() ? 0 : find(key);
    if (slots_.empty() || slots_[at].key != key) {
        char text[16];
        if (!write_hashed_address(mac, secret_, text)) {
            return {};
        }
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            rebuild();
            at = find(key);
        }
        Slot& slot = slots_[at];
        slot.key = key;
        memcpy(slot.text, text, sizeof text);
        ++used_;
    }
    slots_[at].scan = scan_;
    return std::string_view(slots_[at].text, sizeof slots_[at].text);
}

size_t AddressHashCache::find(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    // Fibonacci hashing: the address's bytes spread over the index bits.
    size_t at = static_cast<size_t>((key * 0x9e3779b97f4a7c15u) >> 32) & mask;
    while (slots_[at].key != 0 && slots_[at].key != key) {
        at = (at + 1) & mask;
    }
    return at;
}

void AddressHashCache::rebuild() {
    std::vector<Slot> old;
    old.swap(slots_);
    const size_t kept =
        static_cast<size_t>(std::count_if(old.begin(), old.end(), [this](const Slot& slot) {
            return slot.key != 0 && slot.scan + 1 >= scan_;
        }));
    size_t capacity = 64;
    while (capacity < (kept + 1) * 2) {
        capacity *= 2;
    }
    slots_.assign(capacity, Slot{});
    used_ = 0;
    for (const Slot& slot : old) {
        if (slot.key != 0 && slot.scan + 1 >= scan_) {
            slots_[find(slot.key)] = slot;
            ++used_;
        }
    }
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
