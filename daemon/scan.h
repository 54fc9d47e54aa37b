// The periodic scan that keeps stable addresses and drops random ones, and
// the summary printed at a timed stop.
#pragma once

#include <cstdint>

#include "probe_table.h"

struct NlSession;

// Marks each entry kept (its delta reached `randommax`) or dropped, calling
// `on_kept` for every kept entry before its reported count is updated, then
// removes the dropped entries in one compaction, destroying their records.
// Returns the number of entries dropped.
using KeptEntryFn = void (*)(NlSession* session, ProbeEntry& entry);
// When `dropped_records` is given, the counts of the dropped entries are added
// to it.
size_t scan_entries(ProbeList& list, uint16_t randommax, NlSession* session, KeptEntryFn on_kept,
                    uint64_t* dropped_records = nullptr);

// scan_entries over the session's table, then its index brought up to date and
// the drops counted. The caller holds the table's write lock.
size_t scan_table(NlSession* session, KeptEntryFn on_kept);

// One scan pass over the session's table under its write lock. The caller
// holds the scan mutex.
void scan_probe_list(NlSession* session);

// Thread 2: one scan pass per signal of the scan timer, until the session
// stops running.
void worker_mac_list_scan(void* arg);

// Prints the summary of the table under its read lock.
void print_summary(NlSession* session);
