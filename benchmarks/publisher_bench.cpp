// The scan publisher's cost: the daemon's own code (MqttPublisher on a libuv
// loop, a feeding thread in the scan worker's place handing it scan results
// through the loop hand-over, each rendered there as the daemon does)
// against a plain libmosquitto publish loop sending the same documents
// already rendered, both to one local Mosquitto, at QoS 0 and QoS 1, with
// plain and hashed addresses. Both keep at most the publisher's window of
// documents unacknowledged. Each side runs in a process of its own, and
// what is compared is that process's CPU time (user + system, every thread)
// per document, from its connect to its last document sent or acknowledged:
// on a shared pair of cores throughput says more about the broker's share
// than about either side.
//   publisher_bench [--documents N] [--stations S] [--port P] [--rounds R]
//                   [--qos Q] [--form plain|hashed] [--side publisher|loop]
// (--qos, --form and --side keep to one case, for a profiler's run.)
// Starts its own broker on 127.0.0.1 (inside tests/harness/sandbox.sh only)
// and ends it by its pid. Prints "result KEY VALUE" lines for scripts/bench.
#include <fcntl.h>
#include <mosquitto.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mqtt/mqtt_publisher.h"
#include "publisher_sides.h"

namespace {

// With BENCH_PIN unset or 1 and two or more cores: the broker on the first
// core, each side (every thread of it) on the last, as on a single-core
// router, where handing a document from the scan worker to the loop thread
// moves nothing between cores. BENCH_PIN=0 leaves placement to the
// scheduler, which adds those moves to the publisher's side and makes its
// figures vary by half.
void pin(bool last) {
    const char* setting = getenv("BENCH_PIN");
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if ((setting != nullptr && strcmp(setting, "1") != 0) || cores < 2) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(last ? static_cast<int>(cores - 1) : 0, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        perror("publisher_bench: sched_setaffinity");
    }
}

// Runs `side` in a child process of its own and returns what it measured
// there; the child's broker connection and threads end with it.
template <typename Side>
Sample in_child(Side side) {
    int fds[2];
    if (pipe(fds) != 0) {
        perror("publisher_bench: pipe");
        exit(1);
    }
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        pin(true);
        const Sample sample = side();
        const bool written = write(fds[1], &sample, sizeof sample) == sizeof sample;
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    Sample sample;
    const bool read_whole = pid > 0 && read(fds[0], &sample, sizeof sample) == sizeof sample;
    close(fds[0]);
    int status = 0;
    if (pid > 0) {
        waitpid(pid, &status, 0);
    }
    if (!read_whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "publisher_bench: a run failed\n");
        exit(1);
    }
    return sample;
}

// The median by CPU time of an odd number of samples.
Sample median(std::vector<Sample> samples) {
    std::sort(samples.begin(), samples.end(),
              [](const Sample& a, const Sample& b) { return a.cpu_us < b.cpu_us; });
    return samples[samples.size() / 2];
}

const char* form(bool hashed) {
    return hashed ? "hashed" : "plain";
}

pid_t start_broker(int port, const std::string& conf) {
    FILE* f = fopen(conf.c_str(), "w");
    fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n", port);
    fclose(f);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        pin(false);
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
    int port = 18830, rounds = 7, only_qos = -1;
    std::string only_form, only_side;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--documents") == 0) {
            documents = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--stations") == 0) {
            stations = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--port") == 0) {
            port = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, atoi(argv[i + 1]));
        } else if (strcmp(argv[i], "--qos") == 0) {
            only_qos = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--form") == 0) {
            only_form = argv[i + 1];
        } else if (strcmp(argv[i], "--side") == 0) {
            only_side = argv[i + 1];
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
    const size_t bytes = render_scan_document(bench_scan(stations))[0].size();
    printf("documents of %zu stations, %zu bytes; %zu per run; window %zu\n", stations, bytes,
           documents, MqttPublisher::window);
    const Sample none;
    for (int qos : {0, 1}) {
        for (bool hashed : {false, true}) {
            if ((only_qos >= 0 && qos != only_qos) ||
                (!only_form.empty() && only_form != form(hashed))) {
                continue;
            }
            // Alternated, seven runs each by default; the medians kept (CPU time per
            // process still moves by a fifth with what else runs).
            std::vector<Sample> daemons, plains;
            for (int round = 0; round < rounds; ++round) {
                daemons.push_back(only_side == "loop" ? none : in_child([&] {
                    return run_publisher(port, qos, hashed, documents, stations);
                }));
                plains.push_back(only_side == "publisher" ? none : in_child([&] {
                    return run_plain(port, qos, hashed, documents, stations);
                }));
                printf(
                    "qos %d %s round %d: publisher %.2f us CPU/document (%.0f documents/s), "
                    "plain loop %.2f us (%.0f/s)\n",
                    qos, form(hashed), round + 1, daemons.back().cpu_us, daemons.back().rate,
                    plains.back().cpu_us, plains.back().rate);
            }
            const Sample daemon = median(daemons), plain = median(plains);
            const std::string key = "publisher_qos" + std::to_string(qos) + "_" + form(hashed);
            printf("result %s_cpu_us %.2f\n", key.c_str(), daemon.cpu_us);
            printf("result %s_loop_cpu_us %.2f\n", key.c_str(), plain.cpu_us);
            printf("result %s_docs %.0f\n", key.c_str(), daemon.rate);
            printf("result %s_loop_docs %.0f\n", key.c_str(), plain.rate);
        }
    }
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    unlink(conf);
    mosquitto_lib_cleanup();
    return 0;
}
