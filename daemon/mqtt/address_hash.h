// How a station address appears in a published scan: plain colon form, or a
// keyed hash that is the same on every access point sharing the site secret,
// so that a fleet view can merge stations without seeing their addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The hashed addresses of recent scans' stations, so that a station reported
// scan after scan is hashed once (an HMAC costs more than rendering the rest
// of its document entry ten times over). An open-addressing table, about as
// cheap to ask as writing a plain address: each time it is three quarters
// full it is rebuilt with only the stations looked up in the current or the
// last scan, at most half full, so it holds at most about four slots per
// station of two scans. One thread only.
class AddressHashCache {
  public:
    // `secret` outlives the cache and does not change.
    explicit AddressHashCache(const std::string& secret) : secret_(secret) {}

    // What hashed_address(mac, secret) gives; valid until the next lookup.
    // A failing HMAC gives an empty text and is not kept.
    std::string_view lookup(const uint8_t* mac);
    // After each scan's document.
    void next_scan() { ++scan_; }
    size_t size() const { return used_; }

  private:
    struct Slot {
        uint64_t key;   // the address with bit 63 set; 0 when empty
        uint64_t scan;  // of the last lookup
        char text[16];
    };
    size_t find(uint64_t key) const;  // its slot, or the empty one it would go in
    void rebuild();

    const std::string& secret_;
    std::vector<Slot> slots_;  // a power of two of them, or none
    size_t used_ = 0;
    uint64_t scan_ = 1;
};
