// A session with its locks created, for tests of the table and the scan.
#pragma once

#include <cstring>

#include "probe_record.h"
#include "vorlask.h"

struct TestSession {
    NlSession* session;
    TestSession() : session(new NlSession()) {
        set_default_options(session->options_);
        uv_rwlock_init(&session->list_mac_rwlock_);
        uv_mutex_init(&session->threads_sync_.mutex_list_scan_);
        uv_cond_init(&session->threads_sync_.cond_list_scan_);
        session->running.store(true);
    }
    ~TestSession() {
        release_probe_list(session);
        uv_rwlock_destroy(&session->list_mac_rwlock_);
        uv_mutex_destroy(&session->threads_sync_.mutex_list_scan_);
        uv_cond_destroy(&session->threads_sync_.cond_list_scan_);
        delete session;
    }
};

inline ProbeRecord* new_record(uint8_t last, int8_t rssi = -40) {
    auto* r = new ProbeRecord{};
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, last};
    memcpy(r->mac, mac, 6);
    r->rssi = rssi;
    return r;
}
