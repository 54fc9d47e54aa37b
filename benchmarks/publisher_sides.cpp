// The two sides of benchmarks/publisher_bench: the daemon's publisher and a
// plain libmosquitto publish loop, each measured in the process it runs in.
#include "publisher_sides.h"

#include <mosquitto.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loop_handover.h"
#include "mqtt/mqtt_publisher.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// This process's CPU time so far, user and system, all threads, in us.
double cpu_us() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    const auto us = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    return us(use.ru_utime) + us(use.ru_stime);
}

// The secret of the hashed address form.
const std::string bench_secret = "bench-site-secret";

}  // namespace

ScanDocument bench_scan(size_t stations) {
    ScanDocument doc;
    doc.time = 1765280000;
    doc.scan_ms = 5000000;
    doc.interval = 10;
    for (size_t i = 0; i < stations; ++i) {
        StationRow row{};
        const uint8_t mac[6] = {0x02,
                                0x1a,
                                0x2b,
                                static_cast<uint8_t>(i >> 16),
                                static_cast<uint8_t>(i >> 8),
                                static_cast<uint8_t>(i)};
        memcpy(row.mac, mac, 6);
        row.rssi = static_cast<int8_t>(-40 - static_cast<int>(i % 50));
        row.band = 1;
        row.freq = 2437;
        memset(row.second_mac, 0xff, 6);
        row.count = 7;
        row.first_ms = doc.scan_ms - 100000;
        row.last_ms = doc.scan_ms - 1000;
        doc.rows.push_back(row);
    }
    doc.totals.table = static_cast<uint32_t>(stations);
    return doc;
}

// The daemon's publisher, from its start to the last acknowledgement (QoS 1)
// or write (QoS 0): rendering, hand-over, queue and client, as in the daemon.
Sample run_publisher(int port, int qos, bool hashed, size_t documents, size_t stations) {
    MqttSettings settings;
    settings.enabled = true;
    settings.hosts = {"127.0.0.1"};
    settings.port = static_cast<uint16_t>(port);
    settings.client_id = "bench-publisher-" + std::to_string(qos);
    settings.qos = qos;
    settings.queue_limit = 64 * 1024 * 1024;
    settings.hashed = hashed;
    settings.secret = bench_secret;
    ScanDocument doc = bench_scan(stations);
    const double cpu_start = cpu_us();
    uv_loop_t loop;
    uv_loop_init(&loop);
    LoopHandover handover;
    handover.init(&loop);
    MqttPublisher publisher(settings, 10);
    if (!publisher.start(&loop, &handover)) {
        exit(1);
    }
    // The loop publishes its delivered count after every turn for the feeder.
    static std::atomic<uint64_t> delivered;
    static std::mutex mutex;
    static std::condition_variable progress;
    static std::atomic<bool> feeder_waits;
    static MqttPublisher* current;
    delivered = 0;
    feeder_waits = false;
    current = &publisher;
    uv_check_t check;
    uv_check_init(&loop, &check);
    uv_check_start(&check, [](uv_check_t* handle) {
        const PublisherCounts c = current->counts();
        if (c.delivered != delivered.load()) {
            delivered.store(c.delivered);
            // The feeder is woken only once half its lead has gone.
            if (feeder_waits.load() && c.documents - c.delivered <= 32) {
                std::lock_guard<std::mutex> lock(mutex);
                progress.notify_one();
            }
        }
        if (c.delivered >= c.documents && c.documents != 0 && handle->data != nullptr &&
            c.documents == *static_cast<size_t*>(handle->data)) {
            uv_stop(handle->loop);
        }
    });
    check.data = &documents;
    // The clock starts with the first hand-over, while the client still
    // connects (about a millisecond on loopback).
    Clock::time_point start;
    std::thread feeder([&] {
        start = Clock::now();
        for (size_t i = 0; i < documents; ++i) {
            // As fast as the publisher takes them: at most 64 documents
            // ahead, then waiting without spinning (the broker needs the
            // cores) until 32 are left.
            if (i - delivered.load() >= 64) {
                std::unique_lock<std::mutex> lock(mutex);
                feeder_waits.store(true);
                progress.wait(lock, [&] { return i - delivered.load() <= 32; });
                feeder_waits.store(false);
            }
            publisher.publish_scan(doc);
        }
    });
    uv_run(&loop, UV_RUN_DEFAULT);
    feeder.join();
    const double elapsed = seconds_since(start);
    const double cpu = cpu_us() - cpu_start;
    handover.close();
    // The daemon's own stop, on the loop: "offline", then the close, given
    // up after 2 s.
    uv_check_stop(&check);
    uv_timer_t give_up;
    uv_timer_init(&loop, &give_up);
    give_up.data = &publisher;
    uv_timer_start(
        &give_up, [](uv_timer_t* t) { static_cast<MqttPublisher*>(t->data)->end_stop(); }, 2000, 0);
    publisher.begin_stop(
        0, [](void* l) { uv_stop(static_cast<uv_loop_t*>(l)); }, &loop);
    uv_run(&loop, UV_RUN_DEFAULT);
    publisher.stop();
    return Sample{cpu / static_cast<double>(documents), static_cast<double>(documents) / elapsed};
}

namespace {

struct PlainState {
    uint64_t delivered = 0;
    bool connected = false;
};

}  // namespace

// A plain libmosquitto loop: connect, then publish the same documents,
// rendered before its clock starts, keeping the same window, serviced by
// mosquitto_loop.
Sample run_plain(int port, int qos, bool hashed, size_t documents, size_t stations) {
    ScanDocument doc = bench_scan(stations);
    doc.ap = "bench-plain";
    doc.hashed = hashed;
    doc.secret = &bench_secret;
    std::vector<std::string> payloads;
    for (size_t i = 0; i < 64; ++i) {
        doc.seq = i + 1;
        payloads.push_back(render_scan_document(doc)[0]);
    }
    PlainState state;
    const double cpu_start = cpu_us();
    mosquitto* mosq = mosquitto_new(("bench-plain-" + std::to_string(qos)).c_str(), true, &state);
    mosquitto_connect_callback_set(mosq, [](mosquitto*, void* obj, int rc) {
        static_cast<PlainState*>(obj)->connected = rc == 0;
    });
    mosquitto_publish_callback_set(
        mosq, [](mosquitto*, void* obj, int) { static_cast<PlainState*>(obj)->delivered += 1; });
    if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "plain loop: cannot connect\n");
        exit(1);
    }
    const Clock::time_point start = Clock::now();
    while (!state.connected) {
        mosquitto_loop(mosq, 100, 1);
    }
    size_t handed = 0;
    while (state.delivered < documents) {
        while (handed < documents && handed - state.delivered < MqttPublisher::window) {
            const std::string& p = payloads[handed % payloads.size()];
            mosquitto_publish(mosq, nullptr, "vorlask/bench-plain/scan", static_cast<int>(p.size()),
                              p.data(), qos, false);
            ++handed;
        }
        mosquitto_loop(mosq, 100, 1);
    }
    const double elapsed = seconds_since(start);
    const double cpu = cpu_us() - cpu_start;
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    return Sample{cpu / static_cast<double>(documents), static_cast<double>(documents) / elapsed};
}
