#include "scan.h"

#include "console_log.h"
#include "console_table.h"
#include "kernel_channel.h"
#include "probe_report.h"
#include "vorlask.h"

size_t scan_entries(ProbeList& list, uint16_t randommax, NlSession* session, KeptEntryFn on_kept,
                    uint64_t* dropped_records) {
    const uint32_t threshold = randommax;
    for (ProbeEntry& entry : list) {
        uint32_t delta = entry.count - entry.reported_count;
        if (delta < threshold) {
            entry.mark = -1;
            continue;
        }
        entry.mark = 1;
        on_kept(session, entry);
        entry.reported_count = entry.count;
    }
    // One compaction: every kept entry moves at most once, in order.
    size_t kept = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].mark == -1) {
            if (dropped_records != nullptr) {
                *dropped_records += list[i].count;
            }
            delete list[i].record;
            list[i].record = nullptr;
            continue;
        }
        if (kept != i) {
            list[kept] = list[i];
        }
        ++kept;
    }
    size_t dropped = list.size() - kept;
    list.resize(kept);
    return dropped;
}

namespace {

void report_kept_entry(NlSession* session, ProbeEntry& entry) {
    print_probe_row(entry);
    send_probe_report(session, entry);
}

// Says, at verbosity 1, what was lost or turned away since the last scan.
void report_losses(NlSession* session) {
    SessionCounters& c = session->counters_;
    uint32_t table_full = c.table_full.load() - c.table_full_reported;
    uint32_t queue_full = c.queue_full.load() - c.queue_full_reported;
    uint32_t overruns = kernel_drop_count(session) - c.overrun_drops_reported;
    c.table_full_reported += table_full;
    c.queue_full_reported += queue_full;
    c.overrun_drops_reported += overruns;
    if (table_full != 0 || queue_full != 0) {
        log_msg(1,
                "turned away since the last scan: %u new addresses (table full), %u records (queue "
                "full)\n",
                table_full, queue_full);
    }
    if (overruns != 0) {
        log_msg(
            1,
            "lost in the kernel since the last scan: %u probe messages (receive queue overrun)\n",
            overruns);
    }
}

}  // namespace

size_t scan_table(NlSession* session, KeptEntryFn on_kept) {
    uint64_t dropped_records = 0;
    size_t dropped = scan_entries(session->probe_list, session->options_.randommax, session,
                                  on_kept, &dropped_records);
    if (dropped != 0) {
        session->probe_index_.rebuild(session->probe_list);
    }
    session->counters_.scan_dropped.fetch_add(dropped, std::memory_order_relaxed);
    session->counters_.scan_dropped_records.fetch_add(dropped_records, std::memory_order_relaxed);
    return dropped;
}

void scan_probe_list(NlSession* session) {
    uv_rwlock_wrlock(&session->list_mac_rwlock_);
    scan_table(session, report_kept_entry);
    uv_rwlock_wrunlock(&session->list_mac_rwlock_);
    report_losses(session);
}

void worker_mac_list_scan(void* arg) {
    auto* session = static_cast<NlSession*>(arg);
    ThreadsSync& sync = session->threads_sync_;
    uv_mutex_lock(&sync.mutex_list_scan_);
    while (session->running.load()) {
        // A request counts only if it comes while the worker waits: one given
        // during a pass is not remembered. Spurious wake-ups change nothing.
        const uint32_t seen = session->scan_requests_;
        while (session->scan_requests_ == seen && session->running.load()) {
            uv_cond_wait(&sync.cond_list_scan_, &sync.mutex_list_scan_);
        }
        if (!session->running.load()) {
            break;
        }
        scan_probe_list(session);
    }
    uv_mutex_unlock(&sync.mutex_list_scan_);
    log_msg(1, "worker_scan thread stopped ...\n");
}

void print_summary(NlSession* session) {
    log_msg(0, "\n*** summary ***\n");
    uv_rwlock_rdlock(&session->list_mac_rwlock_);
    log_msg(0, "total probes request found: %ld\n", static_cast<long>(session->probe_list.size()));
    log_msg(0, "To remove some random address, and get a valid address list:\n");
    print_probe_header();
    unsigned valid = 0;
    const uint32_t threshold = session->options_.randommax;
    for (const ProbeEntry& entry : session->probe_list) {
        if (entry.count >= threshold) {
            ++valid;
            print_probe_row(entry);
        }
    }
    uv_rwlock_rdunlock(&session->list_mac_rwlock_);
    log_msg(0, "finally get a valid probe reqeust number: %u\n", valid);
}
