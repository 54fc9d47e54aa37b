// The console probe table: header lines and one row per probe entry, each
// piece printed at its own level so the verbosity decides the columns.
#pragma once

#include "scan_sink.h"

struct ProbeEntry;

void print_probe_header();
// The caller holds the probe table's lock.
void print_probe_row(const ProbeEntry& entry);

// The scan's output that prints each kept entry's row.
ScanSink console_table_sink();
