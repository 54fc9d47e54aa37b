// The session: every piece of state that the loop thread and the four worker
// threads share, reached by each thread through the pointer it is given.
#pragma once

#include <libmnl/libmnl.h>
#include <netinet/in.h>
#include <uv.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "loop_handover.h"
#include "probe_queue.h"
#include "probe_table.h"
#include "settings.h"

struct ThreadsSync {
    uv_mutex_t mutex_list_scan_;
    uv_cond_t cond_list_scan_;
};

// What the daemon turned away or lost, for the scan's report and for anyone
// checking that every probe message is accounted for.
struct SessionCounters {
    std::atomic<uint64_t> queued{0};                // records handed to the receive worker
    std::atomic<uint64_t> folded{0};                // records the receive worker took
    std::atomic<uint32_t> queue_full{0};            // records the full queue turned away
    std::atomic<uint32_t> table_full{0};            // new addresses the full table turned away
    std::atomic<uint64_t> scan_dropped{0};          // entries the scans removed
    std::atomic<uint64_t> scan_dropped_records{0};  // records counted in those entries
    std::atomic<uint32_t> poll_errors{0};           // error wake-ups of the netlink poll
    std::atomic<uint32_t> overrun_errors{0};        // overruns reported by the socket
    std::atomic<int> nl_fd{-1};                     // the netlink descriptor once bound
    // What the scans have reported so far; touched by the scan worker only.
    uint32_t queue_full_reported = 0;
    uint32_t table_full_reported = 0;
    uint32_t overrun_drops_reported = 0;
};

struct NlSession {
    uv_loop_t* loop_;
    uv_poll_t nl_poll_;
    uv_timer_t timer_1;
    uv_timer_t scan_timer;
    ThreadsSync threads_sync_;
    struct mnl_socket* nl_socket_;
    uint32_t nl_seq_;
    ProbeQueue probe_queue_;
    ProbeList probe_list;
    uv_rwlock_t list_mac_rwlock_;
    uv_udp_t udp_handle_;
    struct sockaddr_in mcast_dest_;
    Options options_;
    std::atomic<bool> running;

    ProbeIndex probe_index_;  // address to position in probe_list
    uint32_t scan_requests_;  // signals of the scan timer; under mutex_list_scan_
    LoopHandover handover_;   // worker-to-loop hand-over of libuv work
    SessionCounters counters_;
};

static_assert(std::atomic<bool>::is_always_lock_free, "running must be lock-free");

// The session that owns a handle: every handle of the session carries the
// session in its data field, set when the handle is initialised.
template <typename Handle>
inline NlSession* session_of(Handle* handle) {
    return static_cast<NlSession*>(handle->data);
}

// Creates the locks and starts the four worker threads; their handles are
// kept in `threads` so that a timed stop can join them.
void start_workers(NlSession* session, uv_thread_t threads[4]);
void start_timers(NlSession* session);
void tick_cb(uv_timer_t* handle);
void scan_timer_cb(uv_timer_t* handle);
void handle_sigint(int signal);
