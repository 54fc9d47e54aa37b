// A session built the daemon's way, for tests of the table and the scan.
#pragma once

#include <cstring>

#include "probe_record.h"
#include "session.h"

struct TestSession {
    NlSession* session;
    TestSession() : session(create_session()) { session->running.store(true); }
    ~TestSession() { destroy_session(session); }
};

inline ProbeRecord* new_record(uint8_t last, int8_t rssi = -40) {
    auto* r = new ProbeRecord{};
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, last};
    memcpy(r->mac, mac, 6);
    r->rssi = rssi;
    return r;
}
