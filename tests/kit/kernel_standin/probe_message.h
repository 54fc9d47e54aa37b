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

// The address form every tool shares (mac_text.h): hex_digit, parse_mac
// ("aa:bb:cc:dd:ee:ff", either case) and format_mac.
using ::format_mac;
using ::hex_digit;
using ::parse_mac;

}  // namespace standin
