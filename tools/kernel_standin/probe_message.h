// The datagrams the kernel module sends to the daemon: one probe message per
// probe request, a 16-byte netlink header followed by a 16-byte payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace standin {

constexpr size_t probe_message_size = 32;

struct ProbeFields {
    uint8_t mac[6];
    uint8_t second_mac[6];
    int8_t rssi;
    uint8_t band;
    uint16_t freq;
};

// Lays one probe message out in `out`: header length 32, type 0, flags 0,
// sequence `seq`, port id 0; payload mac, second_mac, rssi, band and freq
// (host byte order).
void encode_probe(const ProbeFields& fields, uint32_t seq, uint8_t out[probe_message_size]);

// Reads "aa:bb:cc:dd:ee:ff" (hex digits of either case, two per byte).
// The value of one hexadecimal digit, or -1.
int hex_digit(char c);
bool parse_mac(const std::string& text, uint8_t mac[6]);

std::string format_mac(const uint8_t mac[6]);

}  // namespace standin
