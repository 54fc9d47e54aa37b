#include "tick_delay_report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The latest tick due within [from, to], or nullptr.
const TickSample* latest_tick(const TickDelay& t, uint64_t from, uint64_t to) {
    const TickSample* worst = nullptr;
    for (const TickSample& s : t.ticks) {
        if (s.due_ns >= from && s.due_ns <= to &&
            (worst == nullptr || s.fired_ns - s.due_ns > worst->fired_ns - worst->due_ns)) {
            worst = &s;
        }
    }
    return worst;
}

// A tick due up to the last report out counts, and so does one due within
// 10 ms after (the end is seen by polling every 5 ms).
const TickSample* latest_tick(const TickDelay& t, const ScanWindow& w) {
    return latest_tick(t, w.start_ns, w.end_ns + 10000000u);
}

double late_ms(const TickSample& s) {
    return ms(s.fired_ns - s.due_ns);
}

// The iteration the tick's due time fell in: the tick runs at the start of
// the next one.
const BusyIteration* holding_iteration(const TickDelay& t, const TickSample& s) {
    for (const BusyIteration& it : t.busy) {
        if (it.start_ns <= s.due_ns && s.due_ns < it.end_ns) {
            return &it;
        }
    }
    return nullptr;
}

void print_result(FILE* out, const char* key, double value, int decimals) {
    fprintf(out, "result %s %.*f\n", key, decimals, value);
}

// The iteration's length, busy part and datagrams, or "-" for each.
void print_iteration(FILE* out, const char* key, const BusyIteration* it) {
    if (it == nullptr) {
        fprintf(out, "result %s_ms -\nresult %s_busy_ms -\nresult %s_sent -\n", key, key, key);
        return;
    }
    fprintf(out, "result %s_ms %.1f\nresult %s_busy_ms %.1f\nresult %s_sent %llu\n", key,
            ms(it->end_ns - it->start_ns), key, ms(it->busy_ns), key,
            static_cast<unsigned long long>(it->sent));
}

}  // namespace

void print_tick_delay(const Harness& h, const TickDelay& t) {
    FILE* out = h.out;
    const TickSample* base = latest_tick(t, t.baseline_start_ns, t.baseline_end_ns);
    double base_busy = 0;
    for (const BusyIteration& it : t.busy) {
        if (it.start_ns >= t.baseline_start_ns && it.end_ns <= t.baseline_end_ns) {
            base_busy = std::max(base_busy, ms(it.busy_ns));
        }
    }
    print_result(out, "tick_base_max_ms", base == nullptr ? 0 : late_ms(*base), 1);
    print_result(out, "tick_base_busy_ms", base_busy, 1);
    if (t.windows.empty()) {
        return;
    }

    // One row per scan, times in ms after the scan signal; "-" where no tick
    // came due during its sending.
    fprintf(out, "%9s %6s %8s %11s %12s %7s %12s %9s\n", "offset_ms", "out_ms", "out",
            "tick_due_ms", "tick_late_ms", "iter_ms", "iter_busy_ms", "iter_sent");
    const TickSample* worst = nullptr;
    const ScanWindow* worst_window = nullptr;
    std::vector<double> send_ms;
    for (const ScanWindow& w : t.windows) {
        fprintf(out, "%9d %6.0f %8llu", w.offset_ms, ms(w.end_ns - w.start_ns),
                static_cast<unsigned long long>(w.sent));
        const TickSample* s = latest_tick(t, w);
        const BusyIteration* it = s == nullptr ? nullptr : holding_iteration(t, *s);
        if (s == nullptr) {
            fprintf(out, " %11s %12s", "-", "-");
        } else {
            fprintf(out, " %11.0f %12.1f", ms(s->due_ns - w.start_ns), late_ms(*s));
            if (worst == nullptr || late_ms(*s) > late_ms(*worst)) {
                worst = s;
                worst_window = &w;
            }
        }
        if (it == nullptr) {
            fprintf(out, " %7s %12s %9s\n", "-", "-", "-");
        } else {
            fprintf(out, " %7.1f %12.1f %9llu\n", ms(it->end_ns - it->start_ns), ms(it->busy_ns),
                    static_cast<unsigned long long>(it->sent));
        }
        send_ms.push_back(ms(w.end_ns - w.start_ns));
    }
    const BusyIteration* longest = nullptr;
    for (const BusyIteration& it : t.busy) {
        for (const ScanWindow& w : t.windows) {
            if (it.end_ns >= w.start_ns && it.start_ns <= w.end_ns &&
                (longest == nullptr || it.busy_ns > longest->busy_ns)) {
                longest = &it;
            }
        }
    }
    std::sort(send_ms.begin(), send_ms.end());
    fprintf(out, "result tick_entries %zu\n", h.config.entries);
    fprintf(out, "result tick_scans %zu\n", t.windows.size());
    print_result(out, "scan_send_ms", send_ms[send_ms.size() / 2], 0);
    print_result(out, "first_scan_out_ms", ms(t.windows[0].end_ns - t.windows[0].start_ns), 0);
    fprintf(out, "result first_scan_tick %d\n", latest_tick(t, t.windows[0]) != nullptr);
    print_iteration(out, "longest_iteration", longest);
    if (worst == nullptr) {
        fprintf(out, "result tick_scan_max_ms -\n");
        return;
    }
    const BusyIteration* holding = holding_iteration(t, *worst);
    print_result(out, "tick_scan_max_ms", late_ms(*worst), 1);
    print_result(out, "worst_tick_due_ms", ms(worst->due_ns - worst_window->start_ns), 0);
    print_iteration(out, "worst_iteration", holding);
    fprintf(out, "result longest_is_worst %d\n", longest == holding);
}
