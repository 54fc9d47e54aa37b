// The fleet the web page's benchmark measures: 1,000 access points x 100 stations merged
// into one view, with the history samples the view's scans gave and the bytes of the scan
// documents that carried them; the loopback fetch, the page's start and the timing the
// measured runs share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet_page.h"
#include "fleet_web.h"

namespace page_bench {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t);

constexpr int kAps = 1000, kStations = 100;
constexpr int64_t kNow = 1765280000;

// Station i's address, 02:00:00:xx:xx:xx.
std::string address_of(int i);
// Access point k's scan document: it hears stations from k * step on (step 50: every station
// is heard by two; step kStations: each by one).
std::string scan_document(int k, uint64_t seq, int step = 50);

struct Fleet {
    fleet::FleetView view;
    std::vector<fleet_page::ScanSample> samples;
    size_t document_bytes = 0;
};

// Every access point's first scan merged into the view, its sample kept: kAps access points
// (or `aps`, hearing stations from k * step on).
void build(Fleet& f, int aps = kAps, int step = 50);

// PATH fetched over HTTP/1.0 from 127.0.0.1:PORT: the whole answer, headers included, or
// what came before the connection failed.
std::string fetch(uint16_t port, const char* path);
// The same from the local address FROM (127.0.0.x), keeping only the answer's size.
size_t fetch_size(uint16_t port, const char* path, const char* from);

// The shortest of RUNS runs of F, in seconds.
template <typename F>
double best_of(int runs, F f) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto t = Clock::now();
        f();
        best = std::min(best, seconds_since(t));
    }
    return best;
}

// The page on 127.0.0.1:PORT (0: any) with its history in DB; false with the error on
// standard error.
bool start_page(fleet_page::FleetPage& page, const std::string& db, uint16_t port);

}  // namespace page_bench
