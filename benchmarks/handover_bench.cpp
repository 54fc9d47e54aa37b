// The loop thread under the scan's reports, on a session built like the
// daemon's: a real libuv loop on the main thread, the multicast channel set up
// by setup_multicast, the hand-over, and the daemon's own scan worker. Two
// measurements:
//
// 1. Tick delay. A 1 s repeating timer, started like the daemon's tick,
//    records how late each expiry runs: first for --baseline-secs with no
//    scan, then during --scans scans of a table of --entries entries in which
//    every entry is kept, so that the scan worker renders every report and
//    hands it to the loop thread, which sends one datagram per entry. The
//    first scan is signalled (as the scan timer does) right after a tick, the
//    daemon's own phase: its scan timer and its tick start together and both
//    run whole seconds. The median sending so far, L (from the signal to the
//    last report out), then places scan k so that a tick comes due at
//    L * k / scans after its signal, k = 1 .. scans - 1, spread over the
//    sending (over the whole second when L is longer). A prepare handle times
//    every loop iteration; one that took over 1 ms is kept with its busy part
//    (not waiting in the poll) and the datagrams the loop thread sent in it.
//    These are counted by this program's own sendmsg and syscall, which stand
//    in front of the C library's for libuv (its batched sends go through
//    syscall(SYS_sendmmsg)); a hand-over batch runs uv_udp_send for each of
//    its datagrams, and libuv sends them within the same iteration.
// 2. Hand-over throughput. One thread queues --datagrams pre-rendered reports
//    through queue_datagram; the rate runs from the first queue_datagram to
//    the completion of the last send on the loop thread. Beside it, the same
//    datagrams through a raw sendto loop on a plain UDP socket to the same
//    destination. --rounds of each, alternating; the best of each counts.
//
// Sends multicast, so it refuses to run outside tests/harness/sandbox.sh
// (SANDBOX_ADDR unset). Datagrams leaving the sandbox's interface (--dev,
// default vsb0) are counted from /proc/net/dev to tell when a scan's reports
// are all out. The console rows the scan prints go to /dev/null, as in daemon
// mode; results go to standard output as "result KEY VALUE" and "note TEXT"
// lines beside the plain-text account.
//
//   handover_bench [--only tick|throughput] [--entries N] [--scans K]
//                  [--baseline-secs S] [--datagrams M] [--rounds R] [--dev IF]
//
// Defaults: 100,000 entries, 5 scans, 10 s, 100,000 datagrams, 3 rounds.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console_log.h"
#include "multicast.h"
#include "probe_report.h"
#include "scan.h"
#include "session.h"

namespace {

// Datagrams sent through sendmsg, sendmmsg and syscall(SYS_sendmmsg): libuv's
// UDP sends. The raw baseline uses sendto and is not counted.
std::atomic<uint64_t> loop_thread_sent{0};
std::atomic<uint64_t> sendmmsg_calls{0};
std::atomic<uint64_t> sendmmsg_sent{0};

void count_sendmmsg(long sent) {
    if (sent > 0) {
        loop_thread_sent.fetch_add(static_cast<uint64_t>(sent), std::memory_order_relaxed);
        sendmmsg_sent.fetch_add(static_cast<uint64_t>(sent), std::memory_order_relaxed);
        sendmmsg_calls.fetch_add(1, std::memory_order_relaxed);
    }
}

template <typename Fn>
Fn next_symbol(const char* name) {
    Fn fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) {
        fprintf(stderr, "handover_bench: no %s to forward to\n", name);
        abort();
    }
    return fn;
}

}  // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    static auto real = next_symbol<ssize_t (*)(int, const struct msghdr*, int)>("sendmsg");
    ssize_t r = real(fd, message, flags);
    if (r >= 0) {
        loop_thread_sent.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
}

extern "C" int sendmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    static auto real = next_symbol<int (*)(int, struct mmsghdr*, unsigned int, int)>("sendmmsg");
    int r = real(fd, messages, count, flags);
    count_sendmmsg(r);
    return r;
}

// Every system call number takes at most six arguments, each passed as a
// long on the targets this runs on.
extern "C" long syscall(long number, ...) noexcept {
    static auto real = next_symbol<long (*)(long, ...)>("syscall");
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& x : a) {
        x = va_arg(args, long);
    }
    va_end(args);
    long r = real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (number == SYS_sendmmsg) {
        count_sendmmsg(r);
    }
    return r;
}

namespace {

struct Config {
    std::string only;
    size_t entries = 100000;
    int scans = 5;
    int baseline_secs = 10;
    size_t datagrams = 100000;
    int rounds = 3;
    std::string dev = "vsb0";
};

struct TickSample {
    uint64_t due_ns;
    uint64_t fired_ns;
};

// One loop iteration, from one prepare phase to the next.
struct BusyIteration {
    uint64_t start_ns;
    uint64_t end_ns;
    uint64_t busy_ns;  // minus the time spent waiting in the poll
    uint64_t sent;     // datagrams the loop thread sent in it
};

struct ScanWindow {
    int offset_ms;
    uint64_t start_ns;  // the scan worker signalled
    uint64_t end_ns;    // every report out of the interface
    uint64_t sent;
};

struct Bench {
    Config config;
    NlSession* session = nullptr;
    uv_loop_t loop;
    uv_timer_t tick;
    uv_timer_t trigger;
    uv_prepare_t prepare;
    FILE* out = nullptr;

    // Loop thread only until the loop has ended.
    uint64_t tick_due_ms = 0;
    std::vector<TickSample> ticks;
    std::vector<BusyIteration> busy;
    uint64_t last_prepare_ns = 0;
    uint64_t last_idle_ns = 0;
    uint64_t sent_at_prepare = 0;

    std::atomic<uint32_t> tick_count{0};
    std::atomic<int> arm_offset_ms{-1};  // set by the control thread, taken by a tick
    std::atomic<uint64_t> scan_started_ns{0};

    // Hand-over throughput: completions counted on the loop thread.
    std::atomic<uint64_t> completions{0};
    std::atomic<uint64_t> completion_errors{0};
    uint64_t completion_target = 0;
    std::atomic<uint64_t> last_completion_ns{0};

    // Filled by the control thread, read after the loop has ended.
    std::vector<ScanWindow> windows;
    uint64_t baseline_start_ns = 0;
    uint64_t baseline_end_ns = 0;
    std::vector<double> handover_rates;
    std::vector<double> sendto_rates;
    double batched_share = 0;  // of the last round's datagrams, sent by sendmmsg
    double batch_width = 0;    // datagrams per sendmmsg call
    bool failed = false;
};

Bench* bench = nullptr;

uint64_t now_ns() {
    return uv_hrtime();
}

void sleep_ms_here(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Datagrams the interface has sent or dropped on its way out.
uint64_t interface_sent(const std::string& dev) {
    std::ifstream in("/proc/net/dev");
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != dev) {
            continue;
        }
        std::istringstream fields(line.substr(colon + 1));
        uint64_t v[12] = {};
        for (uint64_t& x : v) {
            fields >> x;
        }
        return v[9] + v[11];  // transmitted packets + transmit drops
    }
    fprintf(stderr, "handover_bench: no interface %s in /proc/net/dev\n", dev.c_str());
    exit(1);
}

// --- loop thread -----------------------------------------------------------

void on_trigger(uv_timer_t* /*handle*/) {
    // What the daemon's scan timer does.
    NlSession* session = bench->session;
    bench->scan_started_ns.store(now_ns());
    uv_mutex_lock(&session->threads_sync_.mutex_list_scan_);
    session->scan_requests_ += 1;
    uv_cond_signal(&session->threads_sync_.cond_list_scan_);
    uv_mutex_unlock(&session->threads_sync_.mutex_list_scan_);
}

void on_tick(uv_timer_t* handle) {
    const uint64_t fired = now_ns();
    bench->ticks.push_back(TickSample{bench->tick_due_ms * 1000000u, fired});
    // libuv has already re-armed the timer from the loop's time.
    bench->tick_due_ms = uv_now(handle->loop) + 1000;
    int offset = bench->arm_offset_ms.exchange(-1);
    if (offset >= 0) {
        uv_timer_start(&bench->trigger, on_trigger, static_cast<uint64_t>(offset), 0);
    }
    bench->tick_count.fetch_add(1);
}

void on_prepare(uv_prepare_t* handle) {
    const uint64_t t = now_ns();
    const uint64_t idle = uv_metrics_idle_time(handle->loop);
    const uint64_t sent = loop_thread_sent.load(std::memory_order_relaxed);
    if (bench->last_prepare_ns != 0) {
        const uint64_t total = t - bench->last_prepare_ns;
        const uint64_t waited = idle - bench->last_idle_ns;
        const uint64_t busy = total > waited ? total - waited : 0;
        if (busy > 1000000u || total > 1000000u) {
            bench->busy.push_back(
                BusyIteration{bench->last_prepare_ns, t, busy, sent - bench->sent_at_prepare});
        }
    }
    bench->last_prepare_ns = t;
    bench->last_idle_ns = idle;
    bench->sent_at_prepare = sent;
}

void counted_send_cb(uv_udp_send_t* req, int status) {
    free(req);  // the request heads the datagram's one allocation
    if (status != 0) {
        bench->completion_errors.fetch_add(1);
    }
    if (bench->completions.fetch_add(1) + 1 == bench->completion_target) {
        bench->last_completion_ns.store(now_ns());
    }
}

void close_handle(uv_handle_t* handle, void* /*arg*/) {
    if (!uv_is_closing(handle)) {
        uv_close(handle, nullptr);
    }
}

void close_all(void* arg) {
    uv_walk(static_cast<uv_loop_t*>(arg), close_handle, nullptr);
}

// --- control thread --------------------------------------------------------

void wait_ticks(uint32_t n) {
    const uint32_t target = bench->tick_count.load() + n;
    while (bench->tick_count.load() < target) {
        sleep_ms_here(5);
    }
}

void raise_counts(NlSession* session) {
    uv_rwlock_wrlock(&session->table_.list_mac_rwlock_);
    for (ProbeEntry& entry : session->table_.probe_list) {
        entry.count += session->options_.randommax;
    }
    uv_rwlock_wrunlock(&session->table_.list_mac_rwlock_);
}

const char* plural(uint64_t n) {
    return n == 1 ? "" : "s";
}

double ms(uint64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void measure_ticks(Bench& b) {
    NlSession* session = b.session;
    uv_rwlock_rdlock(&session->table_.list_mac_rwlock_);
    const size_t n = session->table_.probe_list.size();
    uv_rwlock_rdunlock(&session->table_.list_mac_rwlock_);
    fprintf(b.out, "tick delay: %d s with no scan, then %d scans of %zu entries, all kept\n",
            b.config.baseline_secs, b.config.scans, n);
    fflush(b.out);
    wait_ticks(1);
    b.baseline_start_ns = now_ns();
    wait_ticks(static_cast<uint32_t>(b.config.baseline_secs));
    b.baseline_end_ns = now_ns();
    for (int k = 0; k < b.config.scans; ++k) {
        ScanWindow w{};
        if (k > 0) {
            // A tick due at L * k / scans after the signal.
            std::vector<uint64_t> lengths;
            for (const ScanWindow& done : b.windows) {
                lengths.push_back(done.end_ns - done.start_ns);
            }
            std::sort(lengths.begin(), lengths.end());
            const double typical = ms(lengths[lengths.size() / 2]);
            const double due_after = std::min(typical, 999.0) * k / b.config.scans;
            w.offset_ms = std::max(0, std::min(999, static_cast<int>(1000 - due_after)));
        }
        raise_counts(session);
        const uint64_t sent0 = interface_sent(b.config.dev);
        const uint64_t started0 = b.scan_started_ns.load();
        b.arm_offset_ms.store(w.offset_ms);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (b.scan_started_ns.load() == started0 && std::chrono::steady_clock::now() < limit) {
            sleep_ms_here(1);
        }
        w.start_ns = b.scan_started_ns.load();
        uint64_t sent = 0;
        while (std::chrono::steady_clock::now() < limit) {
            sent = interface_sent(b.config.dev) - sent0;
            if (sent >= n) {
                break;
            }
            sleep_ms_here(5);
        }
        w.end_ns = now_ns();
        w.sent = sent;
        b.windows.push_back(w);
        fprintf(b.out, "  scan %d, %d ms after a tick: %llu datagrams out in %.0f ms\n", k + 1,
                w.offset_ms, static_cast<unsigned long long>(sent),
                static_cast<double>(w.end_ns - w.start_ns) / 1e6);
        fflush(b.out);
        if (sent < n) {
            fprintf(b.out, "  only %llu of %zu reports left the interface within 120 s\n",
                    static_cast<unsigned long long>(sent), n);
            b.failed = true;
            return;
        }
        wait_ticks(1);
    }
}

void measure_throughput(Bench& b) {
    NlSession* session = b.session;
    std::vector<std::string> texts;
    texts.reserve(b.config.datagrams);
    {
        uv_rwlock_rdlock(&session->table_.list_mac_rwlock_);
        const ProbeList& list = session->table_.probe_list;
        for (size_t i = 0; i < b.config.datagrams; ++i) {
            std::string text;
            render_probe_report(list[i % list.size()].record->mac, text);
            texts.push_back(text);
        }
        uv_rwlock_rdunlock(&session->table_.list_mac_rwlock_);
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        b.failed = true;
        return;
    }
    const struct sockaddr* dest =
        reinterpret_cast<const struct sockaddr*>(&session->multicast_.mcast_dest_);
    const uint64_t m = texts.size();
    fprintf(b.out, "hand-over throughput: %llu reports of %zu bytes, %d rounds\n",
            static_cast<unsigned long long>(m), texts[0].size(), b.config.rounds);
    for (int r = 0; r < b.config.rounds; ++r) {
        b.completions.store(0);
        b.completion_errors.store(0);
        b.last_completion_ns.store(0);
        b.completion_target = m;
        const uint64_t calls0 = sendmmsg_calls.load();
        const uint64_t batched0 = sendmmsg_sent.load();
        uint64_t sent0 = interface_sent(b.config.dev);
        uint64_t t0 = now_ns();
        for (const std::string& text : texts) {
            if (!queue_datagram(session->multicast_, text.data(), text.size(), counted_send_cb)) {
                fprintf(b.out, "  queue_datagram refused a datagram\n");
                b.failed = true;
                close(fd);
                return;
            }
        }
        const uint64_t queued_ns = now_ns() - t0;
        while (b.last_completion_ns.load() == 0) {
            sleep_ms_here(1);
        }
        const double handover =
            static_cast<double>(m) * 1e9 / static_cast<double>(b.last_completion_ns.load() - t0);
        sleep_ms_here(50);
        const uint64_t out_handover = interface_sent(b.config.dev) - sent0;
        const uint64_t calls = sendmmsg_calls.load() - calls0;
        const uint64_t batched = sendmmsg_sent.load() - batched0;

        sent0 = interface_sent(b.config.dev);
        uint64_t failures = 0;
        t0 = now_ns();
        for (const std::string& text : texts) {
            if (sendto(fd, text.data(), text.size(), 0, dest,
                       sizeof session->multicast_.mcast_dest_) < 0) {
                ++failures;
            }
        }
        const double raw = static_cast<double>(m) * 1e9 / static_cast<double>(now_ns() - t0);
        sleep_ms_here(50);
        const uint64_t out_raw = interface_sent(b.config.dev) - sent0;
        fprintf(b.out,
                "  round %d: hand-over %.0f/s (queued in %.0f ms, %llu send errors, %llu out, "
                "%llu of them sent by libuv in %llu sendmmsg calls), sendto %.0f/s (%llu errors, "
                "%llu out)\n",
                r + 1, handover, static_cast<double>(queued_ns) / 1e6,
                static_cast<unsigned long long>(b.completion_errors.load()),
                static_cast<unsigned long long>(out_handover),
                static_cast<unsigned long long>(batched), static_cast<unsigned long long>(calls),
                raw, static_cast<unsigned long long>(failures),
                static_cast<unsigned long long>(out_raw));
        b.batched_share = static_cast<double>(batched) / static_cast<double>(m);
        b.batch_width = calls == 0 ? 0 : static_cast<double>(batched) / static_cast<double>(calls);
        fflush(b.out);
        b.handover_rates.push_back(handover);
        b.sendto_rates.push_back(raw);
    }
    close(fd);
}

void stop_session(Bench& b, uv_thread_t& scan_worker) {
    NlSession* session = b.session;
    session->running.store(false);
    uv_mutex_lock(&session->threads_sync_.mutex_list_scan_);
    uv_cond_broadcast(&session->threads_sync_.cond_list_scan_);
    uv_mutex_unlock(&session->threads_sync_.mutex_list_scan_);
    uv_thread_join(&scan_worker);
    // The loop thread closes every handle, the hand-over's wake-up with them;
    // nothing posts after that.
    session->handover_.call_and_wait(close_all, &b.loop);
    session->handover_.close();
}

struct ControlArgs {
    Bench* b;
    uv_thread_t* scan_worker;
};

void control(void* arg) {
    auto* c = static_cast<ControlArgs*>(arg);
    Bench& b = *c->b;
    if (b.config.only.empty() || b.config.only == "tick") {
        measure_ticks(b);
    }
    if (!b.failed && (b.config.only.empty() || b.config.only == "throughput")) {
        measure_throughput(b);
    }
    stop_session(b, *c->scan_worker);
}

// --- set-up and the account ------------------------------------------------

void fill_table(NlSession* session, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        auto* record = new ProbeRecord{};
        record->mac[0] = 0x00;
        record->mac[1] = 0x1a;
        for (int k = 0; k < 4; ++k) {
            record->mac[2 + k] = static_cast<uint8_t>(i >> (8 * (3 - k)));
        }
        record->rssi = -40;
        ProbeEntry entry{};
        entry.record = record;
        gettimeofday(&entry.last_seen, nullptr);
        session->table_.probe_list.push_back(entry);
    }
    session->table_.probe_index_.rebuild(session->table_.probe_list);
}

// The latest tick due within [from, to], or nullptr.
const TickSample* latest_tick(const Bench& b, uint64_t from, uint64_t to) {
    const TickSample* worst = nullptr;
    for (const TickSample& t : b.ticks) {
        if (t.due_ns >= from && t.due_ns <= to &&
            (worst == nullptr || t.fired_ns - t.due_ns > worst->fired_ns - worst->due_ns)) {
            worst = &t;
        }
    }
    return worst;
}

double late_ms(const TickSample& t) {
    return static_cast<double>(t.fired_ns - t.due_ns) / 1e6;
}

// The iteration the tick's due time fell in: the tick runs at the start of
// the next one.
const BusyIteration* holding_iteration(const Bench& b, const TickSample& t) {
    for (const BusyIteration& it : b.busy) {
        if (it.start_ns <= t.due_ns && t.due_ns < it.end_ns) {
            return &it;
        }
    }
    return nullptr;
}

void account_ticks(const Bench& b) {
    const TickSample* base = latest_tick(b, b.baseline_start_ns, b.baseline_end_ns);
    double base_busy = 0;
    for (const BusyIteration& it : b.busy) {
        if (it.start_ns >= b.baseline_start_ns && it.end_ns <= b.baseline_end_ns) {
            base_busy = std::max(base_busy, ms(it.busy_ns));
        }
    }
    const double base_late = base == nullptr ? 0 : late_ms(*base);
    fprintf(b.out,
            "  no scan: max %.1f ms late over %d ticks; longest busy loop iteration %.1f ms\n",
            base_late, b.config.baseline_secs, base_busy);
    fprintf(b.out, "result tick_base_max_ms %.1f\n", base_late);

    const TickSample* worst = nullptr;
    const ScanWindow* worst_window = nullptr;
    std::vector<double> send_ms;
    for (const ScanWindow& w : b.windows) {
        // A tick due up to the last report out counts, and so does one due
        // within 10 ms after (the end is seen by polling every 5 ms).
        const TickSample* t = latest_tick(b, w.start_ns, w.end_ns + 10000000u);
        fprintf(b.out, "  scan signalled %d ms after a tick, reports out in %.0f ms: ", w.offset_ms,
                ms(w.end_ns - w.start_ns));
        if (t == nullptr) {
            fprintf(b.out, "no tick came due\n");
        } else {
            const BusyIteration* it = holding_iteration(b, *t);
            fprintf(b.out, "tick due %.0f ms after the signal ran %.1f ms late",
                    ms(t->due_ns - w.start_ns), late_ms(*t));
            if (it != nullptr) {
                fprintf(b.out,
                        " (in a loop iteration of %.1f ms, %.1f ms of it busy, %llu datagram%s "
                        "sent)",
                        ms(it->end_ns - it->start_ns), ms(it->busy_ns),
                        static_cast<unsigned long long>(it->sent), plural(it->sent));
            }
            fprintf(b.out, "\n");
            if (worst == nullptr || late_ms(*t) > late_ms(*worst)) {
                worst = t;
                worst_window = &w;
            }
        }
        send_ms.push_back(ms(w.end_ns - w.start_ns));
    }
    const BusyIteration* longest = nullptr;
    for (const BusyIteration& it : b.busy) {
        for (const ScanWindow& w : b.windows) {
            if (it.end_ns >= w.start_ns && it.start_ns <= w.end_ns &&
                (longest == nullptr || it.busy_ns > longest->busy_ns)) {
                longest = &it;
            }
        }
    }
    if (longest != nullptr) {
        fprintf(b.out,
                "  longest busy loop iteration during the scans: %.1f ms (of %.1f ms), %llu "
                "datagram%s sent in it\n",
                ms(longest->busy_ns), ms(longest->end_ns - longest->start_ns),
                static_cast<unsigned long long>(longest->sent), plural(longest->sent));
        fprintf(b.out, "result longest_iteration_ms %.1f\n", ms(longest->busy_ns));
        fprintf(b.out, "result longest_iteration_sent %llu\n",
                static_cast<unsigned long long>(longest->sent));
    }
    if (send_ms.empty()) {
        return;
    }
    std::sort(send_ms.begin(), send_ms.end());
    const double median_send = send_ms[send_ms.size() / 2];
    fprintf(b.out, "result tick_scans %zu\n", b.windows.size());
    fprintf(b.out, "result scan_send_ms %.0f\n", median_send);
    const size_t n = b.session->table_.probe_list.size();
    if (worst == nullptr) {
        fprintf(b.out, "result tick_scan_max_ms -\n");
        fprintf(b.out,
                "note tick delay: no tick came due while a scan's %zu reports were sent (median "
                "%.0f ms from the scan signal to the last report out)\n",
                n, median_send);
        return;
    }
    fprintf(b.out, "result tick_scan_max_ms %.1f\n", late_ms(*worst));
    char text[700];
    snprintf(text, sizeof text,
             "note tick delay: the 1 s tick ran up to %.1f ms late during a scan of %zu entries, "
             "all kept (%.1f ms with no scan); the reports took a median %.0f ms from the scan "
             "signal to the last one out. ",
             late_ms(*worst), n, base_late, median_send);
    std::string note = text;
    const BusyIteration* it = holding_iteration(b, *worst);
    const bool mostly_busy = it != nullptr && it->busy_ns * 2 >= it->end_ns - it->start_ns;
    if (mostly_busy && it->sent >= 64) {
        snprintf(text, sizeof text,
                 "The late tick came due %.0f ms after the scan signal, while the loop thread was "
                 "in one iteration of %.1f ms (%.1f ms busy) in which it sent %llu datagrams: "
                 "it was sending a batch of the hand-over's reports, and the timer runs only "
                 "once the iteration is over.",
                 ms(worst->due_ns - worst_window->start_ns), ms(it->end_ns - it->start_ns),
                 ms(it->busy_ns), static_cast<unsigned long long>(it->sent));
    } else if (mostly_busy) {
        snprintf(text, sizeof text,
                 "The late tick came due %.0f ms after the scan signal, in a loop iteration of "
                 "%.1f ms (%.1f ms out of its poll) that sent only %llu datagram%s: the loop "
                 "thread was kept from running on a shared machine, not held by a batch.",
                 ms(worst->due_ns - worst_window->start_ns), ms(it->end_ns - it->start_ns),
                 ms(it->busy_ns), static_cast<unsigned long long>(it->sent), plural(it->sent));
    } else if (it != nullptr) {
        snprintf(text, sizeof text,
                 "The late tick came due %.0f ms after the scan signal, in a loop iteration of "
                 "%.1f ms of which only %.1f ms were busy (%llu datagram%s sent): the loop "
                 "thread spent it mostly in its poll, so the delay is its wake-up on a shared "
                 "machine rather than a batch.",
                 ms(worst->due_ns - worst_window->start_ns), ms(it->end_ns - it->start_ns),
                 ms(it->busy_ns), static_cast<unsigned long long>(it->sent), plural(it->sent));
    } else {
        snprintf(text, sizeof text,
                 "The late tick came due %.0f ms after the scan signal, in no loop iteration "
                 "over 1 ms: what is left is the timer's millisecond granularity and the "
                 "thread's scheduling, not a batch.",
                 ms(worst->due_ns - worst_window->start_ns));
    }
    note += text;
    if (latest_tick(b, b.windows[0].start_ns, b.windows[0].end_ns + 10000000u) == nullptr) {
        snprintf(text, sizeof text,
                 " At the daemon's own phase (the scan signalled right after a tick) the reports "
                 "were all out in %.0f ms, before the next tick came due.",
                 ms(b.windows[0].end_ns - b.windows[0].start_ns));
        note += text;
    }
    if (longest != nullptr && longest != it) {
        snprintf(text, sizeof text,
                 " The longest busy iteration seen during the scans, %.1f ms sending %llu "
                 "datagram%s, is what a tick coming due at its start would wait.",
                 ms(longest->busy_ns), static_cast<unsigned long long>(longest->sent),
                 plural(longest->sent));
        note += text;
    }
    fprintf(b.out, "%s\n", note.c_str());
}

void account_throughput(const Bench& b) {
    if (b.handover_rates.empty()) {
        return;
    }
    fprintf(b.out, "result handover_rate %.0f\n",
            *std::max_element(b.handover_rates.begin(), b.handover_rates.end()));
    fprintf(b.out, "result sendto_rate %.0f\n",
            *std::max_element(b.sendto_rates.begin(), b.sendto_rates.end()));
    fprintf(b.out,
            "note hand-over: libuv sent %.0f %% of the hand-over's datagrams with sendmmsg, %.1f "
            "per call; the raw loop makes one sendto call per datagram.\n",
            100 * b.batched_share, b.batch_width);
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: handover_bench [--only tick|throughput] [--entries N] [--scans K] "
            "[--baseline-secs S] [--datagrams M] [--rounds R] [--dev IF]\n");
    exit(2);
}

Config parse(int argc, char** argv) {
    Config c;
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
    Bench b;
    b.config = parse(argc, argv);
    if (getenv("SANDBOX_ADDR") == nullptr) {
        fprintf(stderr, "handover_bench sends multicast: run it inside tests/harness/sandbox.sh\n");
        return 2;
    }
    // The results keep the original standard output; the scan's console rows
    // go to /dev/null, line-buffered as the daemon's standard output is.
    b.out = fdopen(dup(STDOUT_FILENO), "w");
    if (b.out == nullptr || freopen("/dev/null", "w", stdout) == nullptr) {
        perror("standard output");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    verbosity = 0;
    bench = &b;

    NlSession* session = create_session();
    b.session = session;
    session->running.store(true);
    fatal_check(uv_loop_init(&b.loop) == 0, __LINE__, "uv_loop_init");
    fatal_check(uv_loop_configure(&b.loop, UV_METRICS_IDLE_TIME) == 0, __LINE__,
                "uv_loop_configure");
    fatal_check(session_use_loop(session, &b.loop) == 0, __LINE__, "handover init");
    fill_table(session, b.config.entries);
    setup_multicast(session->multicast_, session->loop_, session->options_);

    uv_timer_init(&b.loop, &b.trigger);
    uv_prepare_init(&b.loop, &b.prepare);
    uv_prepare_start(&b.prepare, on_prepare);
    b.ticks.reserve(4096);
    b.busy.reserve(1 << 16);
    uv_timer_init(&b.loop, &b.tick);
    uv_update_time(&b.loop);
    b.tick_due_ms = uv_now(&b.loop) + 1000;
    uv_timer_start(&b.tick, on_tick, 1000, 1000);

    uv_thread_t scan_worker;
    fatal_check(uv_thread_create(&scan_worker, worker_mac_list_scan, session) == 0, __LINE__,
                "scan worker");
    ControlArgs args{&b, &scan_worker};
    uv_thread_t controller;
    fatal_check(uv_thread_create(&controller, control, &args) == 0, __LINE__, "control thread");
    int rc = uv_run(&b.loop, UV_RUN_DEFAULT);
    uv_thread_join(&controller);
    if (rc != 0 || uv_loop_close(&b.loop) != 0) {
        fprintf(b.out, "handover_bench: the loop ended with handles still open\n");
        b.failed = true;
    }

    if (b.config.only.empty() || b.config.only == "tick") {
        account_ticks(b);
    }
    account_throughput(b);
    destroy_session(session);
    fclose(b.out);
    return b.failed ? 1 : 0;
}
