// The scan publisher's throughput: the daemon's own code (MqttPublisher on a
// libuv loop, a feeding thread in the scan worker's place handing it scan
// results through the loop hand-over, each rendered there as the daemon
// does) against a plain libmosquitto publish loop sending the same rendered
// documents, both to one local Mosquitto, at QoS 0 and QoS 1. Both keep at
// most the publisher's window of documents unacknowledged.
//   publisher_bench [--documents N] [--stations S] [--port P]
// Starts its own broker on 127.0.0.1 (inside tests/harness/sandbox.sh only)
// and ends it by its pid. Prints "result KEY VALUE" lines for scripts/bench.
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "mqtt/scan_document.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

ScanDocument scan(size_t stations) {
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

// The daemon's publisher: documents per second from the first hand-over to
// the last acknowledgement (QoS 1) or write (QoS 0).
double run_publisher(int port, int qos, size_t documents, size_t stations) {
    MqttSettings settings;
    settings.enabled = true;
    settings.hosts = {"127.0.0.1"};
    settings.port = static_cast<uint16_t>(port);
    settings.client_id = "bench-publisher-" + std::to_string(qos);
    settings.qos = qos;
    settings.queue_limit = 64 * 1024 * 1024;
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
        ScanDocument doc = scan(stations);
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
    return static_cast<double>(documents) / elapsed;
}

struct PlainState {
    uint64_t delivered = 0;
    bool connected = false;
};

// A plain libmosquitto loop: connect, then publish the same rendered
// documents keeping the same window, serviced by mosquitto_loop.
double run_plain(int port, int qos, size_t documents, size_t stations) {
    ScanDocument doc = scan(stations);
    doc.ap = "bench-plain";
    std::vector<std::string> payloads;
    for (size_t i = 0; i < 64; ++i) {
        doc.seq = i + 1;
        payloads.push_back(render_scan_document(doc)[0]);
    }
    PlainState state;
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
    while (!state.connected) {
        mosquitto_loop(mosq, 100, 1);
    }
    const Clock::time_point start = Clock::now();
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
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    return static_cast<double>(documents) / elapsed;
}

pid_t start_broker(int port, const std::string& conf) {
    FILE* f = fopen(conf.c_str(), "w");
    fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n", port);
    fclose(f);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Ready once a client connects.
    for (int i = 0; i < 100; ++i) {
        mosquitto* probe = mosquitto_new(nullptr, true, nullptr);
        const int rc = mosquitto_connect(probe, "127.0.0.1", port, 5);
        mosquitto_destroy(probe);
        if (rc == MOSQ_ERR_SUCCESS) {
            return pid;
        }
        usleep(50000);
    }
    fprintf(stderr, "publisher_bench: the broker did not start\n");
    kill(pid, SIGKILL);
    exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    size_t documents = 5000, stations = 100;
    int port = 18830;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--documents") == 0) {
            documents = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--stations") == 0) {
            stations = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--port") == 0) {
            port = atoi(argv[i + 1]);
        }
    }
    if (getenv("SANDBOX_ADDR") == nullptr) {
        fprintf(stderr,
                "publisher_bench starts a broker: run it inside tests/harness/sandbox.sh\n");
        return 1;
    }
    mosquitto_lib_init();
    char conf[] = "/tmp/publisher-bench.XXXXXX";
    close(mkstemp(conf));
    const pid_t broker = start_broker(port, conf);
    const size_t bytes = render_scan_document(scan(stations))[0].size();
    printf("documents of %zu stations, %zu bytes; %zu per run; window %zu\n", stations, bytes,
           documents, MqttPublisher::window);
    for (int qos : {0, 1}) {
        // Alternated, five runs each; the medians kept (on a shared machine
        // single runs move by a factor of two).
        std::vector<double> daemons, plains;
        for (int round = 0; round < 5; ++round) {
            daemons.push_back(run_publisher(port, qos, documents, stations));
            plains.push_back(run_plain(port, qos, documents, stations));
            printf("qos %d round %d: publisher %.0f documents/s, plain loop %.0f documents/s\n",
                   qos, round + 1, daemons.back(), plains.back());
        }
        std::sort(daemons.begin(), daemons.end());
        std::sort(plains.begin(), plains.end());
        const double daemon = daemons[2], plain = plains[2];
        printf("result publisher_qos%d_docs %.0f\n", qos, daemon);
        printf("result publisher_qos%d_plain_docs %.0f\n", qos, plain);
        printf("result publisher_qos%d_stations %.0f\n", qos,
               daemon * static_cast<double>(stations));
        printf("result publisher_qos%d_plain_stations %.0f\n", qos,
               plain * static_cast<double>(stations));
    }
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    unlink(conf);
    mosquitto_lib_cleanup();
    return 0;
}
