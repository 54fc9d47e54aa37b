// Feeds a broker at a fixed rate for the collector's sustained run: APS
// access points each publishing a 100-station scan document every INTERVAL
// seconds (every station heard by two; benchmarks/fleet_page_fixture.h),
// spread evenly over the interval, for SECONDS, at QoS 1. Once a second it
// prints "sent N behind MS": the documents published so far and how far
// behind its schedule the latest went out.
//
//   fleet_pace HOST PORT APS INTERVAL SECONDS
#include <mosquitto.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet_page_fixture.h"

namespace {

std::atomic<long> acknowledged{0};

int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleep_until(int64_t ns) {
    timespec t{};
    t.tv_sec = ns / 1000000000;
    t.tv_nsec = ns % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: fleet_pace HOST PORT APS INTERVAL SECONDS\n");
        return 2;
    }
    const int aps = atoi(argv[3]), interval = atoi(argv[4]), seconds = atoi(argv[5]);
    if (aps < 1 || interval < 1 || seconds < 1) {
        fprintf(stderr, "fleet_pace: APS, INTERVAL and SECONDS must be positive\n");
        return 2;
    }
    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new("fleet-pace", true, nullptr);
    if (mosq != nullptr) {
        mosquitto_publish_callback_set(mosq, [](mosquitto*, void*, int) { acknowledged++; });
    }
    if (mosq == nullptr || mosquitto_max_inflight_messages_set(mosq, 0) != MOSQ_ERR_SUCCESS ||
        mosquitto_connect(mosq, argv[1], atoi(argv[2]), 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "fleet_pace: cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    // Document i goes out at start + i * step: access point i mod APS, scan i / APS + 1.
    const int64_t step = static_cast<int64_t>(interval) * 1000000000 / aps;
    const long total = static_cast<long>(seconds) * aps / interval;
    const int64_t start = now_ns();
    int64_t next_report = start + 1000000000, behind = 0;
    for (long i = 0; i < total; ++i) {
        int64_t due = start + i * step;
        sleep_until(due);
        int k = static_cast<int>(i % aps);
        std::string doc = page_bench::scan_document(k, static_cast<uint64_t>(i / aps + 1));
        std::string topic = "vorlask/ap-" + std::to_string(k) + "/scan";
        int rc = mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(doc.size()),
                                   doc.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            fprintf(stderr, "fleet_pace: publish failed: %s\n", mosquitto_strerror(rc));
            return 1;
        }
        int64_t t = now_ns();
        behind = std::max(behind, t - due);
        if (t >= next_report) {
            printf("sent %ld behind %.1f\n", i + 1, behind / 1e6);
            fflush(stdout);
            next_report += 1000000000;
            behind = 0;
        }
    }
    printf("sent %ld behind %.1f\n", total, behind / 1e6);
    fflush(stdout);
    // Every document acknowledged before the connection goes (30 s at most).
    for (int i = 0; i < 300 && acknowledged < total; ++i) {
        sleep_until(now_ns() + 100000000);
    }
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
