// The JSON report of one kept station, sent to the multicast group.
#pragma once

#include <cstdint>
#include <string>

#include "multicast.h"
#include "scan_sink.h"

struct ProbeEntry;

// Renders the report document for a station address: {"data":{"ver":1,
// "wifi":{"MAC":<base64 of the 6 bytes>,"RSSI":-33}}} as json-c renders it.
// Returns false when the address cannot be encoded.
bool render_probe_report(const uint8_t* mac, std::string& text);

// Renders the entry's report and hands its datagram to the loop thread, which
// sends it; never waits for the loop. Returns 0 when the datagram was handed
// over, 1 when the address could not be encoded (nothing is sent).
int send_probe_report(MulticastChannel& channel, const ProbeEntry& entry);

// The scan's output that sends each kept entry's report to the group.
ScanSink probe_report_sink(MulticastChannel& channel);
