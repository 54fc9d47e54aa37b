// vorlask: hears the probe requests that the kernel module reports, keeps the
// stations with stable addresses and reports each to a multicast group.
//
// The main thread runs start-up, the event loop and the shutdown; four worker
// threads connect to the kernel, fold records into the table, scan it, and
// greet the multicast group.
#include "vorlask.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>
#include <stdexcept>

#include "console_log.h"
#include "daemon_mode.h"
#include "mqtt/mqtt.h"
#include "multicast.h"
#include "persistent/persistent_rule.h"
#include "scan.h"
#include "session.h"
#include "startup_config.h"

namespace {

// Written by the signal handler, read by the loop thread.
std::atomic<int> keep_going{1};
static_assert(std::atomic<int>::is_always_lock_free, "keep_going must be lock-free");
// Stop signals caught so far, and the loop's wake-up once there is one
// (uv_async_send may be called in signal context).
std::atomic<uint32_t> stop_signals{0};
std::atomic<uv_async_t*> signal_wake{nullptr};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "stop_signals must be lock-free");
static_assert(std::atomic<uv_async_t*>::is_always_lock_free, "signal_wake must be lock-free");

uint32_t tick_count = 1;

// The stop under way, on the loop thread: announced by a tick, it keeps the
// loop running for 5 s (netlink drained, the publisher delivering its queue
// and publishing "offline") and then ends it. Another stop signal during the
// wait cuts it short.
struct StopWait {
    MqttFeature* mqtt = nullptr;
    uv_timer_t timer;
    uv_async_t wake;
    bool announced = false;
    bool by_signal = false;
    bool waited = false;          // the 5 s are over, or were cut short
    bool publisher_done = false;  // nothing of the publisher under way
    uint32_t signals_before = 0;  // stop signals caught before the stop line
};
StopWait stop_wait;

NlSession* session_instance() {
    static std::once_flag once;
    static NlSession* session = nullptr;
    std::call_once(once, [] { session = create_session(); });
    return session;
}

// Writes a fixed text with write(2): the only output safe in signal context.
void write_text(const char* text) {
    ssize_t ignored = write(STDOUT_FILENO, text, strlen(text));
    (void)ignored;
}

void end_loop_when_done(uv_loop_t* loop) {
    if (stop_wait.waited && stop_wait.publisher_done) {
        uv_stop(loop);
    }
}

void publisher_done(void* loop) {
    stop_wait.publisher_done = true;
    end_loop_when_done(static_cast<uv_loop_t*>(loop));
}

void wait_over(uv_loop_t* loop) {
    if (stop_wait.waited) {
        return;
    }
    stop_wait.waited = true;
    uv_timer_stop(&stop_wait.timer);
    stop_wait.mqtt->end_stop();
    end_loop_when_done(loop);
}

void stop_timer_cb(uv_timer_t* handle) {
    wait_over(handle->loop);
}

void signal_wake_cb(uv_async_t* handle) {
    if (stop_wait.announced && stop_signals.load() != stop_wait.signals_before) {
        wait_over(handle->loop);
    }
}

// Both stops: `running` is cleared first, so that the scan worker starts no
// pass after the stop line (and the receive worker ends after its batch);
// the timers stop and the loop goes on for 5 s.
void announce_stop_and_wait(NlSession* session, bool by_signal) {
    session->running.store(false);
    stop_wait.signals_before = stop_signals.load();
    stop_wait.announced = true;
    stop_wait.by_signal = by_signal;
    log_msg(1, "it will be stopped after 5 seconds ...\n");
    uv_timer_stop(&session->timer_1);
    uv_timer_stop(&session->scan_timer);
    uv_update_time(session->loop_);
    const int rc = uv_timer_start(&stop_wait.timer, stop_timer_cb, 5000, 0);
    fatal_check(rc == 0, site::stop_timer_start);
    stop_wait.mqtt->begin_stop(5000, publisher_done, session->loop_);
}

// Loop thread, before the loop runs.
void prepare_stop(NlSession* session, MqttFeature* mqtt) {
    stop_wait.mqtt = mqtt;
    uv_timer_init(session->loop_, &stop_wait.timer);
    const int rc = uv_async_init(session->loop_, &stop_wait.wake, signal_wake_cb);
    fatal_check(rc == 0, site::stop_wake_init);
    signal_wake.store(&stop_wait.wake);
}

// At -vv, after a timed stop: where every probe message went, so that an
// operator (or a soak run) can check that nothing disappeared unaccounted:
// queued + turned away (queue full) + lost in the kernel is what arrived;
// queued = folded + left in the queue; folded = turned away (table full) +
// in entries the scans dropped + in the table.
void print_record_counts(NlSession* session, uint32_t kernel_drops) {
    const SessionCounters& c = session->counters_;
    const ProbeTable& table = session->table_;
    uv_rwlock_rdlock(&session->table_.list_mac_rwlock_);
    const uint64_t in_table =
        std::accumulate(table.probe_list.begin(), table.probe_list.end(), uint64_t{0},
                        [](uint64_t sum, const ProbeEntry& entry) { return sum + entry.count; });
    uv_rwlock_rdunlock(&session->table_.list_mac_rwlock_);
    log_msg(2,
            "probe messages: %llu queued, %u turned away (queue full), %llu folded, %u turned "
            "away (table full), %llu in entries the scans dropped, %llu in the table, %zu left in "
            "the queue, %u lost in the kernel; peak queue %zu\n",
            static_cast<unsigned long long>(c.queued.load()), c.queue_full.load(),
            static_cast<unsigned long long>(c.folded.load()), c.table_full.load(),
            static_cast<unsigned long long>(c.scan_dropped_records.load()),
            static_cast<unsigned long long>(in_table), session->probe_queue_.size(), kernel_drops,
            session->probe_queue_.peak());
}

// In the detached child standard error is still the pipe to the waiting
// parent, which passes the message on to its own standard error and the
// system log.
[[noreturn]] void daemon_mode_failed(const char* message) {
    fprintf(stderr, "vorlask: daemon mode: %s\n", message);
    exit(1);
}

}  // namespace

void handle_sigint(int /*signal*/) {
    // Only write(2) and a lock-free store: safe in signal context. errno is
    // kept for the code the signal interrupted.
    const int saved_errno = errno;
    if (log_gate(1)) {
        write_text("Caught a Ctrl-C (SIGINT) in a separate handler ...\n");
    }
    keep_going.store(0);
    stop_signals.fetch_add(1);
    if (uv_async_t* wake = signal_wake.load()) {
        uv_async_send(wake);
    }
    if (log_gate(1)) {
        write_text("Exiting ...\n");
    }
    errno = saved_errno;
}

void start_timers(NlSession* session) {
    uv_timer_init(session->loop_, &session->timer_1);
    session->timer_1.data = session;
    int rc = uv_timer_start(&session->timer_1, tick_cb, 1000, 1000);
    fatal_check(rc == 0, site::timer1_start);

    uv_timer_init(session->loop_, &session->scan_timer);
    session->scan_timer.data = session;
    const uint64_t t = static_cast<uint64_t>(session->options_.timeout) * 1000u;
    rc = uv_timer_start(&session->scan_timer, scan_timer_cb, t, t);
    fatal_check(rc == 0, site::scan_timer_start);
}

void tick_cb(uv_timer_t* handle) {
    NlSession* session = session_of(handle);
    if (keep_going.load() == 0) {
        announce_stop_and_wait(session, true);
        return;
    }
    if (session->options_.timemax == 0) {
        return;
    }
    tick_count += 1;
    if (static_cast<uint32_t>(session->options_.timemax) < tick_count) {
        fatal_check(handle != nullptr, site::tick_timer);
        announce_stop_and_wait(session, false);
    }
}

void scan_timer_cb(uv_timer_t* handle) {
    // Never waits for a pass: a tick during one is dropped (session.h).
    request_scan(session_of(handle));
}

int main(int argc, char** argv) {
    // Console rows reach a pipe or a log file as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A service manager stops with SIGTERM, a closing terminal sends SIGHUP:
    // both stop the daemon like Ctrl-C. It has nothing to reload. A call the
    // signal interrupts (a write to a full pipe, say) goes on afterwards,
    // whatever the C library's signal() would do.
    struct sigaction stop = {};
    stop.sa_handler = handle_sigint;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (int stop_signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(stop_signal, &stop, nullptr);
    }

    NlSession* session = session_instance();
    session->running.store(true);
    read_command_line(argc, argv, session->options_);

    // The sections after [server]: the keep rule's, then the publisher's.
    MqttFeature mqtt(config_path);
    struct Sections {
        std::unique_ptr<KeepRule> keep_rule;
        MqttFeature* mqtt;
    } sections{nullptr, &mqtt};
    const MoreSections read_sections = [](const Confile& config, void* context) {
        auto* read = static_cast<Sections*>(context);
        if (!read_keep_rule(config, config_path, read->keep_rule)) {
            return false;
        }
        return MqttFeature::read_section(config, read->mqtt);
    };
    if (!print_startup_config(config_path, read_sections, &sections)) {
        return 1;
    }
    session->keep_rule_ = std::move(sections.keep_rule);
    if (session->keep_rule_) {
        session->table_.known_stations_ = known_stations_of(*session->keep_rule_);
    }

    if (session->options_.daemon != 0) {
        verbosity = 0;
        try {
            daemonize(current_directory(), "/dev/null", "/dev/null", "/dev/null");
        } catch (const std::runtime_error& e) {
            daemon_mode_failed(e.what());
        }
    }

    fatal_check(0 == session_use_loop(session, uv_default_loop()), site::handover_init);
    if (!mqtt.start(session->options_.timeout, session->loop_, &session->handover_,
                    session->scan_sinks_, session->keep_rule_ != nullptr)) {
        return 1;
    }
    uv_thread_t threads[4];
    start_workers(session, threads);
    setup_multicast(session->multicast_, session->loop_, session->options_);
    startup_step_done();
    prepare_stop(session, &mqtt);
    start_timers(session);
    int rc = uv_run(session->loop_, UV_RUN_DEFAULT);
    fatal_check(rc == 0 || rc == 1, site::loop_result);

    if (stop_wait.by_signal) {
        // No summary and no teardown after a stop by signal; workers may
        // still run: end at once, without exit handlers or static
        // destructors that could race them.
        mqtt.stop();
        quick_exit_flushed(0);
    }
    stop_workers(session, threads);
    mqtt.stop();
    log_msg(1, "free and shutdown ...\n");
    const uint32_t kernel_drops = kernel_drop_count(session->kernel_);
    close_kernel_channel(session->kernel_);
    if (session->keep_rule_) {
        session->keep_rule_->print_summary(session->table_);
    } else {
        print_summary(session->table_, session->options_.randommax);
    }
    print_record_counts(session, kernel_drops);
    destroy_session(session);
    log_msg(1, "shutdown ...\n");
    return 0;
}
