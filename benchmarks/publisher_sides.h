// The two sides of benchmarks/publisher_bench, each run in a process of its
// own: what one run cost that process.
#pragma once

#include <cstddef>

#include "mqtt/scan_document.h"

// One side's run: CPU us per document and documents per second.
struct Sample {
    double cpu_us = 0;
    double rate = 0;
};

// The benchmark's document: `stations` stations heard in the last 100 s.
ScanDocument bench_scan(size_t stations);

// The daemon's MqttPublisher on a libuv loop, a feeding thread in the scan
// worker's place handing it `documents` scans of `stations` stations.
Sample run_publisher(int port, int qos, bool hashed, size_t documents, size_t stations);

// A plain libmosquitto loop publishing the same documents, rendered first.
Sample run_plain(int port, int qos, bool hashed, size_t documents, size_t stations);
