// Feeds a broker for the fleet benchmark: publishes every line of a file,
// "TOPIC PAYLOAD", at QoS 1 as fast as the broker acknowledges, and says how
// long it took. A plain libmosquitto publish loop on one thread.
//
//   fleet_feed HOST PORT FILE
#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
long acknowledged = 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: fleet_feed HOST PORT FILE\n");
        return 2;
    }
    std::ifstream in(argv[3]);
    if (!in) {
        fprintf(stderr, "fleet_feed: cannot read %s\n", argv[3]);
        return 1;
    }
    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new("fleet-feed", true, nullptr);
    mosquitto_max_inflight_messages_set(mosq, 0);
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void*, int) { acknowledged++; });
    if (mosquitto_connect(mosq, argv[1], atoi(argv[2]), 60) != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "fleet_feed: cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    long sent = 0;
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos) {
            continue;
        }
        std::string topic = line.substr(0, space);
        int rc = mosquitto_publish(mosq, nullptr, topic.c_str(),
                                   static_cast<int>(line.size() - space - 1),
                                   line.data() + space + 1, 1, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            fprintf(stderr, "fleet_feed: publish failed: %s\n", mosquitto_strerror(rc));
            return 1;
        }
        sent++;
        // Let the socket drain now and then, so the queue stays short.
        if (sent % 64 == 0) {
            mosquitto_loop(mosq, 0, 1);
        }
    }
    while (acknowledged < sent) {
        if (mosquitto_loop(mosq, 1000, 1) != MOSQ_ERR_SUCCESS) {
            fprintf(stderr, "fleet_feed: connection lost\n");
            return 1;
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("fed %ld documents in %.2f s (%.0f/s)\n", sent, seconds, sent / seconds);
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
