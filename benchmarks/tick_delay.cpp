#include "tick_delay.h"

#include <algorithm>
#include <chrono>

#include "loop_send_count.h"
#include "session.h"

namespace {

// --- loop thread -----------------------------------------------------------

void on_trigger(uv_timer_t* handle) {
    auto* t = static_cast<TickDelay*>(handle->data);
    t->scan_started_ns.store(now_ns());
    signal_scan(t->harness->session);
}

void on_tick(uv_timer_t* handle) {
    const uint64_t fired = now_ns();
    auto* t = static_cast<TickDelay*>(handle->data);
    t->ticks.push_back(TickSample{t->tick_due_ms * 1000000u, fired});
    // libuv has already re-armed the timer from the loop's time.
    t->tick_due_ms = uv_now(handle->loop) + 1000;
    int offset = t->arm_offset_ms.exchange(-1);
    if (offset >= 0) {
        uv_timer_start(&t->trigger, on_trigger, static_cast<uint64_t>(offset), 0);
    }
    t->tick_count.fetch_add(1);
}

void on_prepare(uv_prepare_t* handle) {
    auto* t = static_cast<TickDelay*>(handle->data);
    const uint64_t now = now_ns();
    const uint64_t idle = uv_metrics_idle_time(handle->loop);
    const uint64_t sent = loop_sent();
    if (t->last_prepare_ns != 0) {
        const uint64_t total = now - t->last_prepare_ns;
        const uint64_t waited = idle - t->last_idle_ns;
        const uint64_t busy = total > waited ? total - waited : 0;
        if (busy > 1000000u || total > 1000000u) {
            t->busy.push_back(
                BusyIteration{t->last_prepare_ns, now, busy, sent - t->sent_at_prepare});
        }
    }
    t->last_prepare_ns = now;
    t->last_idle_ns = idle;
    t->sent_at_prepare = sent;
}

// --- control thread --------------------------------------------------------

void wait_ticks(TickDelay& t, uint32_t n) {
    const uint32_t target = t.tick_count.load() + n;
    while (t.tick_count.load() < target) {
        pause_ms(5);
    }
}

// The offset after a tick at which to signal scan k > 0: a tick then comes
// due at L * k / scans after the signal, L the median sending so far.
int scan_offset_ms(const TickDelay& t, int k, int scans) {
    std::vector<uint64_t> lengths;
    for (const ScanWindow& done : t.windows) {
        lengths.push_back(done.end_ns - done.start_ns);
    }
    std::sort(lengths.begin(), lengths.end());
    const double typical = ms(lengths[lengths.size() / 2]);
    const double due_after = std::min(typical, 999.0) * k / scans;
    return std::max(0, std::min(999, static_cast<int>(1000 - due_after)));
}

}  // namespace

void start_tick_delay(Harness& h, TickDelay& t) {
    t.harness = &h;
    uv_timer_init(&h.loop, &t.trigger);
    t.trigger.data = &t;
    uv_prepare_init(&h.loop, &t.prepare);
    t.prepare.data = &t;
    uv_prepare_start(&t.prepare, on_prepare);
    t.ticks.reserve(4096);
    t.busy.reserve(1 << 16);
    uv_timer_init(&h.loop, &t.tick);
    t.tick.data = &t;
    uv_update_time(&h.loop);
    t.tick_due_ms = uv_now(&h.loop) + 1000;
    uv_timer_start(&t.tick, on_tick, 1000, 1000);
}

void measure_tick_delay(Harness& h, TickDelay& t) {
    NlSession* session = h.session;
    uv_rwlock_rdlock(&session->table_.list_mac_rwlock_);
    const size_t n = session->table_.probe_list.size();
    uv_rwlock_rdunlock(&session->table_.list_mac_rwlock_);
    fprintf(h.out, "tick delay: %d s with no scan, then %d scans of %zu entries, all kept\n",
            h.config.baseline_secs, h.config.scans, n);
    fflush(h.out);
    wait_ticks(t, 1);
    t.baseline_start_ns = now_ns();
    wait_ticks(t, static_cast<uint32_t>(h.config.baseline_secs));
    t.baseline_end_ns = now_ns();
    for (int k = 0; k < h.config.scans; ++k) {
        ScanWindow w{};
        w.offset_ms = k == 0 ? 0 : scan_offset_ms(t, k, h.config.scans);
        raise_counts(session);
        const uint64_t sent0 = interface_sent(h.config.dev);
        const uint64_t started0 = t.scan_started_ns.load();
        t.arm_offset_ms.store(w.offset_ms);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (t.scan_started_ns.load() == started0 && std::chrono::steady_clock::now() < limit) {
            pause_ms(1);
        }
        w.start_ns = t.scan_started_ns.load();
        uint64_t sent = 0;
        while (std::chrono::steady_clock::now() < limit) {
            sent = interface_sent(h.config.dev) - sent0;
            if (sent >= n) {
                break;
            }
            pause_ms(5);
        }
        w.end_ns = now_ns();
        w.sent = sent;
        t.windows.push_back(w);
        fprintf(h.out, "  scan %d, %d ms after a tick: %llu datagrams out in %.0f ms\n", k + 1,
                w.offset_ms, static_cast<unsigned long long>(sent), ms(w.end_ns - w.start_ns));
        fflush(h.out);
        if (sent < n) {
            fprintf(h.out, "  only %llu of %zu reports left the interface within 120 s\n",
                    static_cast<unsigned long long>(sent), n);
            h.failed = true;
            return;
        }
        wait_ticks(t, 1);
    }
}
