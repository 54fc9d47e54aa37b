// One probe request as the kernel module reports it, and its wire format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "uapi/vorlask.h"

struct ProbeRecord {
    uint8_t mac[6];         // station address, the key of the probe table
    int8_t rssi;            // signal strength as the module reports it
    uint8_t band;           // band number as the module reports it
    uint8_t second_mac[6];  // second address the module sends with the record
    uint16_t freq;          // frequency value as the module reports it
};
static_assert(sizeof(ProbeRecord) == VORLASK_PROBE_LEN, "a probe record is 16 bytes");

// A datagram from the kernel is a 16-byte netlink header followed by the
// probe payload; only its first 32 bytes are decoded, whatever the message
// type in the header.
constexpr size_t probe_header_size = VORLASK_NLMSG_HDRLEN;
constexpr size_t probe_datagram_min = VORLASK_PROBE_MSG_LEN;

// Decodes the first probe message of a datagram into `record` (all fields
// written). Returns false, leaving `record` untouched, when the datagram is
// shorter than one probe message. Fields are copied byte-wise, so the buffer
// needs no alignment.
bool decode_probe_datagram(const uint8_t* data, size_t length, ProbeRecord& record);

// The registration message sent to the kernel once at start.
constexpr uint16_t registration_type = VORLASK_MSG_REGISTER;
constexpr uint16_t registration_flags = VORLASK_REGISTER_FLAGS;
constexpr uint16_t registration_attr = VORLASK_ATTR_HELLO;
constexpr const char* registration_text = VORLASK_HELLO;
constexpr size_t registration_size = VORLASK_REGISTER_LEN;

// Lays the registration out in `buf` (at least `registration_size` bytes,
// zeroed by the caller) through libmnl and returns its length.
size_t build_registration(void* buf, uint32_t seq);
