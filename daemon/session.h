// The session: the parts of the daemon (the kernel channel, the probe queue,
// the probe table, the multicast channel) and what they share (the loop, the
// timers, the scan signal, the settings, the running flag, the hand-over to
// the loop thread and the counters). The loop thread and the four worker
// threads reach it through the pointer each is given.
#pragma once

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "keep_rule.h"
#include "kernel_channel.h"
#include "loop_handover.h"
#include "multicast.h"
#include "probe_queue.h"
#include "probe_table.h"
#include "scan_sink.h"
#include "session_counters.h"
#include "settings.h"

// The scan signal. The mutex guards the request count, `scanning` and
// `late_ticks`; the scan worker holds it only while it takes a request, never
// during a pass, so the scan timer never waits for a pass.
struct ThreadsSync {
    uv_mutex_t mutex_list_scan_;
    uv_cond_t cond_list_scan_;
    bool scanning;        // a pass is running
    uint64_t late_ticks;  // ticks of the scan timer that came during a pass, dropped
};

struct NlSession {
    uv_loop_t* loop_;
    uv_timer_t timer_1;
    uv_timer_t scan_timer;
    ThreadsSync threads_sync_;
    KernelChannel kernel_;        // netlink socket, its poll handle, sequence
    ProbeQueue probe_queue_;      // records from the loop thread to the receive worker
    ProbeTable table_;            // probe_list, its index and list_mac_rwlock_
    MulticastChannel multicast_;  // udp_handle_ and the group's address
    Options options_;
    std::atomic<bool> running;

    uint32_t scan_requests_;  // ticks of the scan timer taken; under mutex_list_scan_
    LoopHandover handover_;   // worker-to-loop hand-over of libuv work
    SessionCounters counters_;
    ScanSinks scan_sinks_;  // the scan's outputs, in the order they are fed
    // The keep rule chosen in [scan] of the configuration file; null under
    // rule = count, the core's own. Used by the scan worker, the fold (through
    // the table's known stations) and the summary.
    std::unique_ptr<KeepRule> keep_rule_;
};

static_assert(std::atomic<bool>::is_always_lock_free, "running must be lock-free");

// The session that owns a timer: each timer of the session carries the
// session in its data field, set when the timer is initialised.
template <typename Handle>
inline NlSession* session_of(Handle* handle) {
    return static_cast<NlSession*>(handle->data);
}

// The one way to build a session: zero-filled, its parts wired to the queue,
// the counters and the hand-over, the table's lock and the scan signal
// created (failures end the process), the default settings, and the scan's
// outputs: the console row, then the multicast report. `running` is left
// false and no loop is attached.
NlSession* create_session();

// Attaches `loop`: the loop the handles go on and the hand-over's target.
// Returns the hand-over's set-up result (0 on success).
int session_use_loop(NlSession* session, uv_loop_t* loop);

// Frees what is left in the queue and the table, destroys the locks and the
// session. No worker may use it any more.
void destroy_session(NlSession* session);

// Starts the four worker threads with the session as their argument; their
// handles are kept in `threads` so that a timed stop can join them.
void start_workers(NlSession* session, uv_thread_t threads[4]);

// Wakes every worker that may wait and joins all four, so that nothing uses
// the session once the shutdown starts tearing it down.
void stop_workers(NlSession* session, uv_thread_t threads[4]);

// Thread 0: prints the console header, connects the kernel channel and ends.
void worker_mac80211_connect(void* arg);
// Thread 1: takes records from the probe queue and folds them into the table
// until the session stops running.
void worker_mac80211_mac_recv(void* arg);
// Loop thread, at every tick of the scan timer: asks the scan worker for a
// pass. A tick that comes while a pass is still running is dropped and
// counted in late_ticks; the next pass comes with the first tick after the
// running one ends. (A pass right after a long one would see only the probe
// requests of the moments between them, and the count rule would drop nearly
// every entry for having too few.)
void request_scan(NlSession* session);

// Thread 2: one scan pass per request, until the session stops running. At
// verbosity 2 its stop says how many ticks came late.
void worker_mac_list_scan(void* arg);
// Thread 3: sends the greeting once.
void worker_multicast(void* arg);
