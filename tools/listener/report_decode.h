// Decoding of the datagrams that the daemon sends to its multicast group:
// the greeting, the JSON probe reports (station MAC in base64) and anything
// else, turned into one readable line each. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Standard base64 (RFC 4648 alphabet, '=' padding). Returns false for any
// character outside the alphabet, misplaced padding or a length that is not
// a multiple of four; `out` is then unspecified.
bool base64_decode(const std::string& text, std::vector<uint8_t>& out);

// format_mac: "aa:bb:cc:dd:ee:ff" for six bytes.
#include "mac_text.h"

enum class DatagramKind { greeting, report, other };

struct Datagram {
    DatagramKind kind = DatagramKind::other;
    size_t length = 0;  // bytes received
    // Reports only.
    uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
    int64_t ver = 0;
    int64_t rssi = 0;
};

// Classifies one datagram: the exact greeting text, a report document
// {"data":{"ver":INT,"wifi":{"MAC":BASE64-OF-6-BYTES,"RSSI":INT}}} with
// nothing after it, or other.
Datagram parse_datagram(const uint8_t* bytes, size_t length);

// The line printed for a datagram from `sender` ("ADDR:PORT"), without a
// newline:
//   report aa:bb:cc:dd:ee:ff ver 1 rssi -33 from 10.200.0.1:40123
//   greeting HelloMACrecver from 10.200.0.1:40123
//   other 3 bytes from 10.200.0.2:5566
std::string describe_datagram(const Datagram& d, const std::string& sender);
