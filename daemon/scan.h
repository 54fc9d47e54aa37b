// The periodic scan that keeps stable addresses and drops random ones, and
// the summary printed at a timed stop.
#pragma once

#include <cstdint>

#include "kernel_channel.h"
#include "probe_table.h"
#include "scan_sink.h"
#include "session_counters.h"

// Marks each entry kept (its delta reached `randommax`) or dropped, handing
// every kept entry to each sink's entry callback before its reported count is
// updated, then removes the dropped entries in one compaction, destroying
// their records. Returns the number of entries dropped. When
// `dropped_records` is given, the counts of the dropped entries are added to
// it.
size_t scan_entries(ProbeList& list, uint16_t randommax, const ScanSinks& sinks,
                    uint64_t* dropped_records = nullptr);

// scan_entries over the table, then its index brought up to date and the
// drops counted. The caller holds the table's write lock.
size_t scan_table(ProbeTable& table, uint16_t randommax, const ScanSinks& sinks,
                  SessionCounters& counters);

// One scan pass over the table under its write lock, then what was lost
// since the last pass said at verbosity 1 and the totals handed to each
// sink's end callback. The caller is the scan worker.
ScanTotals scan_probe_list(ProbeTable& table, uint16_t randommax, const ScanSinks& sinks,
                           SessionCounters& counters, const KernelChannel& kernel);

// Says, at verbosity 1, what was lost or turned away since the last scan, and
// puts it in `totals`.
void report_losses(SessionCounters& counters, const KernelChannel& kernel, ScanTotals& totals);

// Hands `totals` to each sink's end callback.
void end_of_scan(const ScanSinks& sinks, const ScanTotals& totals);

// Prints the summary of the table under its read lock.
void print_summary(ProbeTable& table, uint16_t randommax);
