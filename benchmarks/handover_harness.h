// What the hand-over benchmark's measurements share: its options, a session
// built like the daemon's on a real loop, the clock, and the sandbox
// interface's transmit counter.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct NlSession;

struct HandoverConfig {
    std::string only;  // "tick", "throughput" or empty for both
    size_t entries = 100000;
    int scans = 5;
    int baseline_secs = 10;
    size_t datagrams = 100000;
    int rounds = 3;
    std::string dev = "vsb0";
};

struct Harness {
    HandoverConfig config;
    NlSession* session = nullptr;
    uv_loop_t loop;
    FILE* out = nullptr;  // the figures; standard output takes the console rows
    bool failed = false;
};

uint64_t now_ns();
double ms(uint64_t ns);
void pause_ms(int ms);  // this thread

// Datagrams the interface has sent or dropped on its way out.
uint64_t interface_sent(const std::string& dev);

// A session on h.loop with h.config.entries entries in its table, every one
// kept at the next scan once its count is raised, and its multicast channel
// set up; the scan worker runs in `scan_worker`.
void start_session(Harness& h, uv_thread_t& scan_worker);
// Raises every entry's count so that the next scan keeps them all.
void raise_counts(NlSession* session);
// Signals the scan worker, as the daemon's scan timer does.
void signal_scan(NlSession* session);
// Stops and joins the scan worker, then has the loop thread close every
// handle so that the loop ends.
void stop_session(Harness& h, uv_thread_t& scan_worker);
// Frees the session once the loop has ended.
void release_session(Harness& h);
