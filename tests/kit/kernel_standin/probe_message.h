// The datagrams the kernel module sends to the daemon: one probe message per
// probe request, a 16-byte netlink header followed by a 16-byte payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mac_text.h"
#include "uapi/vorlask.h"

namespace standin {

constexpr size_t probe_message_size = VORLASK_PROBE_MSG_LEN;

using ProbeFields = vorlask_probe;

// Lays one probe message out in `out` as the kernel module does: header
// length 32, type VORLASK_MSG_PROBE, flags 0, sequence `seq`, port id 0;
// payload mac, second_mac, rssi, band and freq (host byte order).
void encode_probe(const ProbeFields& fields, uint32_t seq, uint8_t out[probe_message_size]);

// Reads "aa:bb:cc:dd:ee:ff" (hex digits of either case, two per byte).
// The value of one hexadecimal digit, or -1.
int hex_digit(char c);
bool parse_mac(const std::string& text, uint8_t mac[6]);

// format_mac (mac_text.h) writes the same form.
using ::format_mac;

}  // namespace standin
