// The loop thread under the scan's reports, on a session built like the
// daemon's: a real libuv loop on the main thread, the multicast channel set up
// by setup_multicast, the hand-over, and the daemon's own scan worker. Two
// measurements, each in its own file: the tick's delay during scans
// (tick_delay.h) and the hand-over's throughput beside raw sendto
// (handover_throughput.h); a control thread runs them while the main thread
// runs the loop.
//
// Sends multicast, so it refuses to run outside tests/harness/sandbox.sh
// (SANDBOX_ADDR unset). Datagrams leaving the sandbox's interface (--dev,
// default vsb0) are counted from /proc/net/dev to tell when a scan's reports
// are all out. The console rows the scan prints go to /dev/null, as in daemon
// mode. The figures go to standard output: tables of the scans and rounds,
// and "result KEY VALUE" lines that scripts/bench reads and puts into words.
//
//   handover_bench [--only tick|throughput] [--entries N] [--scans K]
//                  [--baseline-secs S] [--datagrams M] [--rounds R] [--dev IF]
//
// Defaults: 100,000 entries, 5 scans, 10 s, 100,000 datagrams, 3 rounds.
#include <unistd.h>
#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console_log.h"
#include "handover_harness.h"
#include "handover_throughput.h"
#include "tick_delay.h"
#include "tick_delay_report.h"

namespace {

struct ControlArgs {
    Harness* harness;
    TickDelay* tick;
    HandoverThroughput* throughput;
    uv_thread_t* scan_worker;
};

void control(void* arg) {
    auto* c = static_cast<ControlArgs*>(arg);
    Harness& h = *c->harness;
    if (h.config.only.empty() || h.config.only == "tick") {
        measure_tick_delay(h, *c->tick);
    }
    if (!h.failed && (h.config.only.empty() || h.config.only == "throughput")) {
        measure_throughput(h, *c->throughput);
    }
    stop_session(h, *c->scan_worker);
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: handover_bench [--only tick|throughput] [--entries N] [--scans K] "
            "[--baseline-secs S] [--datagrams M] [--rounds R] [--dev IF]\n");
    exit(2);
}

HandoverConfig parse(int argc, char** argv) {
    HandoverConfig c;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
        if (name == "--only") {
            c.only = value;
            if (c.only != "tick" && c.only != "throughput") {
                usage();
            }
        } else if (name == "--entries") {
            c.entries = strtoul(value, nullptr, 10);
        } else if (name == "--scans") {
            c.scans = atoi(value);
        } else if (name == "--baseline-secs") {
            c.baseline_secs = atoi(value);
        } else if (name == "--datagrams") {
            c.datagrams = strtoul(value, nullptr, 10);
        } else if (name == "--rounds") {
            c.rounds = atoi(value);
        } else if (name == "--dev") {
            c.dev = value;
        } else {
            usage();
        }
    }
    if (c.entries == 0 || c.scans <= 0 || c.baseline_secs <= 0 || c.datagrams == 0 ||
        c.rounds <= 0) {
        usage();
    }
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    Harness h;
    h.config = parse(argc, argv);
    if (getenv("SANDBOX_ADDR") == nullptr) {
        fprintf(stderr, "handover_bench sends multicast: run it inside tests/harness/sandbox.sh\n");
        return 2;
    }
    // The figures keep the original standard output; the scan's console rows
    // go to /dev/null, line-buffered as the daemon's standard output is.
    h.out = fdopen(dup(STDOUT_FILENO), "w");
    if (h.out == nullptr || freopen("/dev/null", "w", stdout) == nullptr) {
        perror("standard output");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    verbosity = 0;

    uv_thread_t scan_worker;
    start_session(h, scan_worker);
    TickDelay tick;
    start_tick_delay(h, tick);
    HandoverThroughput throughput;
    ControlArgs args{&h, &tick, &throughput, &scan_worker};
    uv_thread_t controller;
    fatal_check(uv_thread_create(&controller, control, &args) == 0, __LINE__, "control thread");
    int rc = uv_run(&h.loop, UV_RUN_DEFAULT);
    uv_thread_join(&controller);
    if (rc != 0 || uv_loop_close(&h.loop) != 0) {
        fprintf(h.out, "handover_bench: the loop ended with handles still open\n");
        h.failed = true;
    }

    if (h.config.only.empty() || h.config.only == "tick") {
        print_tick_delay(h, tick);
    }
    print_throughput(h, throughput);
    release_session(h);
    fclose(h.out);
    return h.failed ? 1 : 0;
}
