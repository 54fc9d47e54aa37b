#include "scan.h"

#include "console_log.h"
#include "console_table.h"

size_t scan_entries(ProbeList& list, uint16_t randommax, const ScanSinks& sinks,
                    uint64_t* dropped_records) {
    const uint32_t threshold = randommax;
    for (ProbeEntry& entry : list) {
        uint32_t delta = entry.count - entry.reported_count;
        if (delta < threshold) {
            entry.mark = -1;
            continue;
        }
        entry.mark = 1;
        for (size_t i = 0; i < sinks.count; ++i) {
            const ScanSink& sink = sinks.sinks[i];
            if (sink.entry != nullptr) {
                sink.entry(sink.context, entry);
            }
        }
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

void end_of_scan(const ScanSinks& sinks, const ScanTotals& totals) {
    for (size_t i = 0; i < sinks.count; ++i) {
        const ScanSink& sink = sinks.sinks[i];
        if (sink.end != nullptr) {
            sink.end(sink.context, totals);
        }
    }
}

void report_losses(SessionCounters& c, const KernelChannel& kernel, ScanTotals& totals) {
    uint32_t table_full = c.table_full.load() - c.table_full_reported;
    uint32_t queue_full = c.queue_full.load() - c.queue_full_reported;
    uint32_t overruns = kernel_drop_count(kernel) - c.overrun_drops_reported;
    totals.turned_away_table = table_full;
    totals.turned_away_queue = queue_full;
    totals.kernel_lost = overruns;
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
    const uint32_t foreign = c.not_from_kernel.load() - c.not_from_kernel_reported;
    totals.not_from_kernel = foreign;
    c.not_from_kernel_reported += foreign;
    if (foreign != 0) {
        log_msg(1, "turned away since the last scan: %u netlink messages not from the kernel\n",
                foreign);
    }
}

size_t scan_table(ProbeTable& table, uint16_t randommax, const ScanSinks& sinks,
                  SessionCounters& counters) {
    uint64_t dropped_records = 0;
    size_t dropped = scan_entries(table.probe_list, randommax, sinks, &dropped_records);
    if (dropped != 0) {
        table.probe_index_.rebuild(table.probe_list);
    }
    counters.scan_dropped.fetch_add(dropped, std::memory_order_relaxed);
    counters.scan_dropped_records.fetch_add(dropped_records, std::memory_order_relaxed);
    return dropped;
}

ScanTotals scan_probe_list(ProbeTable& table, uint16_t randommax, const ScanSinks& sinks,
                           SessionCounters& counters, const KernelChannel& kernel) {
    ScanTotals totals{};
    uv_rwlock_wrlock(&table.list_mac_rwlock_);
    totals.table_size = table.probe_list.size();
    totals.dropped = scan_table(table, randommax, sinks, counters);
    totals.kept = table.probe_list.size();
    uv_rwlock_wrunlock(&table.list_mac_rwlock_);
    report_losses(counters, kernel, totals);
    end_of_scan(sinks, totals);
    return totals;
}

void print_summary(ProbeTable& table, uint16_t randommax) {
    log_msg(0, "\n*** summary ***\n");
    uv_rwlock_rdlock(&table.list_mac_rwlock_);
    log_msg(0, "total probes request found: %ld\n", static_cast<long>(table.probe_list.size()));
    log_msg(0, "To remove some random address, and get a valid address list:\n");
    print_probe_header();
    unsigned valid = 0;
    const uint32_t threshold = randommax;
    for (const ProbeEntry& entry : table.probe_list) {
        if (entry.count >= threshold) {
            ++valid;
            print_probe_row(entry);
        }
    }
    uv_rwlock_rdunlock(&table.list_mac_rwlock_);
    log_msg(0, "finally get a valid probe reqeust number: %u\n", valid);
}
