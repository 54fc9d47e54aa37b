#include "session.h"

#include <cstring>

#include "console_log.h"
#include "console_table.h"
#include "daemon_mode.h"
#include "probe_report.h"
#include "scan.h"

NlSession* create_session() {
    // Value-initialisation zero-fills every plain member before the members
    // with constructors of their own are built.
    auto* session = new NlSession();
    session->kernel_.probe_queue_ = &session->probe_queue_;
    session->kernel_.counters_ = &session->counters_;
    session->multicast_.handover_ = &session->handover_;
    init_probe_table(session->table_);
    fatal_check(0 == uv_mutex_init(&session->threads_sync_.mutex_list_scan_), site::mutex_init);
    fatal_check(0 == uv_cond_init(&session->threads_sync_.cond_list_scan_), site::cond_init);
    set_default_options(session->options_);
    add_scan_sink(session->scan_sinks_, console_table_sink());
    add_scan_sink(session->scan_sinks_, probe_report_sink(session->multicast_));
    return session;
}

int session_use_loop(NlSession* session, uv_loop_t* loop) {
    session->loop_ = loop;
    return session->handover_.init(loop);
}

void destroy_session(NlSession* session) {
    release_probe_list(session->table_);
    for (ProbeRecord* record : session->probe_queue_.take_all()) {
        delete record;
    }
    destroy_probe_table(session->table_);
    uv_mutex_destroy(&session->threads_sync_.mutex_list_scan_);
    uv_cond_destroy(&session->threads_sync_.cond_list_scan_);
    delete session;
}

void start_workers(NlSession* session, uv_thread_t threads[4]) {
    memset(threads, 0, 4 * sizeof(uv_thread_t));
    fatal_check(0 == uv_thread_create(&threads[0], worker_mac80211_connect, session),
                site::thread0);
    fatal_check(0 == uv_thread_create(&threads[1], worker_mac80211_mac_recv, session),
                site::thread1);
    fatal_check(0 == uv_thread_create(&threads[2], worker_mac_list_scan, session), site::thread2);
    fatal_check(0 == uv_thread_create(&threads[3], worker_multicast, session), site::thread3);
}

void stop_workers(NlSession* session, uv_thread_t threads[4]) {
    session->running.store(false);
    session->probe_queue_.close();
    uv_mutex_lock(&session->threads_sync_.mutex_list_scan_);
    uv_cond_broadcast(&session->threads_sync_.cond_list_scan_);
    uv_mutex_unlock(&session->threads_sync_.mutex_list_scan_);
    session->handover_.close();
    for (int i = 0; i < 4; ++i) {
        uv_thread_join(&threads[i]);
    }
}

void worker_mac80211_connect(void* arg) {
    auto* session = static_cast<NlSession*>(arg);
    print_probe_header();
    if (connect_kernel(session->kernel_, session->loop_, session->handover_)) {
        startup_step_done();  // the registration has gone out
    }
}

void worker_mac80211_mac_recv(void* arg) {
    auto* session = static_cast<NlSession*>(arg);
    // Records are taken as they come, a burst at a time, so that a flood
    // costs one lock round per burst rather than per record; the write lock
    // is held for at most one batch (some 15 us), which keeps scans from
    // waiting long. A long batch also lets the fold's look-ahead run on.
    constexpr size_t batch = 256;
    ProbeRecord* records[batch];
    while (session->running.load()) {
        size_t n = session->probe_queue_.pop_batch(records, batch);
        if (n == 0) {
            break;  // the queue was closed at stop
        }
        add_probes(session->table_, session->counters_, records, n);
    }
    log_msg(1, "worker_mac80211_mac_recv thread stopped ...\n");
}

void request_scan(NlSession* session) {
    ThreadsSync& sync = session->threads_sync_;
    uv_mutex_lock(&sync.mutex_list_scan_);
    if (sync.scanning) {
        sync.late_ticks += 1;
    } else {
        session->scan_requests_ += 1;
        uv_cond_signal(&sync.cond_list_scan_);
    }
    uv_mutex_unlock(&sync.mutex_list_scan_);
}

void worker_mac_list_scan(void* arg) {
    auto* session = static_cast<NlSession*>(arg);
    ThreadsSync& sync = session->threads_sync_;
    uv_mutex_lock(&sync.mutex_list_scan_);
    while (session->running.load()) {
        // Spurious wake-ups change nothing: a pass needs a new request.
        const uint32_t seen = session->scan_requests_;
        while (session->scan_requests_ == seen && session->running.load()) {
            uv_cond_wait(&sync.cond_list_scan_, &sync.mutex_list_scan_);
        }
        if (!session->running.load()) {
            break;
        }
        sync.scanning = true;
        uv_mutex_unlock(&sync.mutex_list_scan_);
        if (session->keep_rule_) {
            session->keep_rule_->scan(session->table_, session->scan_sinks_, session->counters_,
                                      session->kernel_);
        } else {
            scan_probe_list(session->table_, session->options_.randommax, session->scan_sinks_,
                            session->counters_, session->kernel_);
        }
        uv_mutex_lock(&sync.mutex_list_scan_);
        sync.scanning = false;
    }
    const uint64_t late = sync.late_ticks;
    uv_mutex_unlock(&sync.mutex_list_scan_);
    log_msg(2, "scan: %llu ticks of the scan timer came during a pass and were dropped\n",
            static_cast<unsigned long long>(late));
    log_msg(1, "worker_scan thread stopped ...\n");
}

void worker_multicast(void* arg) {
    log_enter("worker_multicast");
    auto* session = static_cast<NlSession*>(arg);
    send_greeting(session->multicast_);
}
