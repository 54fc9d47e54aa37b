#include "handover_harness.h"

#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "console_log.h"
#include "multicast.h"
#include "probe_table.h"
#include "scan.h"
#include "session.h"

uint64_t now_ns() {
    return uv_hrtime();
}

double ms(uint64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t interface_sent(const std::string& dev) {
    std::ifstream in("/proc/net/dev");
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != dev) {
            continue;
        }
        std::istringstream fields(line.substr(colon + 1));
        uint64_t v[12] = {};
        for (uint64_t& x : v) {
            fields >> x;
        }
        return v[9] + v[11];  // transmitted packets + transmit drops
    }
    fprintf(stderr, "handover_bench: no interface %s in /proc/net/dev\n", dev.c_str());
    exit(1);
}

namespace {

void fill_table(NlSession* session, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        auto* record = new ProbeRecord{};
        record->mac[0] = 0x00;
        record->mac[1] = 0x1a;
        for (int k = 0; k < 4; ++k) {
            record->mac[2 + k] = static_cast<uint8_t>(i >> (8 * (3 - k)));
        }
        record->rssi = -40;
        ProbeEntry entry{};
        entry.record = record;
        gettimeofday(&entry.last_seen, nullptr);
        session->table_.probe_list.push_back(entry);
    }
    session->table_.probe_index_.rebuild(session->table_.probe_list);
}

void close_handle(uv_handle_t* handle, void* /*arg*/) {
    if (!uv_is_closing(handle)) {
        uv_close(handle, nullptr);
    }
}

void close_all(void* arg) {
    uv_walk(static_cast<uv_loop_t*>(arg), close_handle, nullptr);
}

}  // namespace

void start_session(Harness& h, uv_thread_t& scan_worker) {
    NlSession* session = create_session();
    h.session = session;
    session->running.store(true);
    fatal_check(uv_loop_init(&h.loop) == 0, __LINE__, "uv_loop_init");
    fatal_check(uv_loop_configure(&h.loop, UV_METRICS_IDLE_TIME) == 0, __LINE__,
                "uv_loop_configure");
    fatal_check(session_use_loop(session, &h.loop) == 0, __LINE__, "handover init");
    fill_table(session, h.config.entries);
    setup_multicast(session->multicast_, session->loop_, session->options_);
    fatal_check(uv_thread_create(&scan_worker, worker_mac_list_scan, session) == 0, __LINE__,
                "scan worker");
}

void raise_counts(NlSession* session) {
    uv_rwlock_wrlock(&session->table_.list_mac_rwlock_);
    for (ProbeEntry& entry : session->table_.probe_list) {
        entry.count += session->options_.randommax;
    }
    uv_rwlock_wrunlock(&session->table_.list_mac_rwlock_);
}

void signal_scan(NlSession* session) {
    request_scan(session);
}

void stop_session(Harness& h, uv_thread_t& scan_worker) {
    NlSession* session = h.session;
    session->running.store(false);
    uv_mutex_lock(&session->threads_sync_.mutex_list_scan_);
    uv_cond_broadcast(&session->threads_sync_.cond_list_scan_);
    uv_mutex_unlock(&session->threads_sync_.mutex_list_scan_);
    uv_thread_join(&scan_worker);
    // The loop thread closes every handle, the hand-over's wake-up with them;
    // nothing posts after that.
    session->handover_.call_and_wait(close_all, &h.loop);
    session->handover_.close();
}

void release_session(Harness& h) {
    destroy_session(h.session);
    h.session = nullptr;
}
