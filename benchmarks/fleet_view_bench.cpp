// The cost of one scan document (100 stations) to the collector's view as the
// view grows: the same documents merged into views of 10, 1,000 and 10,000
// access points (every station heard by two), with the view's once-a-second
// forgetting at 1,000 documents a second. Per document: reading it alone, and
// reading and merging it (take_scan_payload) with the forgetting's share.
// The figure at 10 access points is the baseline of the others. Timed in the
// thread's CPU time, which other work on a shared machine disturbs less.
//
//   fleet_view_bench [--rounds N]
//
// Prints "result KEY VALUE" lines: fleet_view_<aps>_ns (read, merge and
// forgetting per document) and fleet_read_<aps>_ns (the read alone).
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fleet_page_fixture.h"
#include "fleet_view.h"
#include "scan_part.h"

using namespace fleet;
using page_bench::scan_document;

namespace {

constexpr int docs_per_second = 1000;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

struct Figures {
    double view_ns = 0;
    double read_ns = 0;
};

// `aps` access points each scanning `rounds` more times after their first
// scan; the documents rendered beforehand, so only the view's work is timed.
Figures measure(int aps, int rounds) {
    FleetView view;
    std::vector<std::string> ids(aps), docs(aps);
    for (int k = 0; k < aps; ++k) {
        ids[k] = "ap-" + std::to_string(k);
        std::string first = scan_document(k, 1);
        if (!view.take_scan_payload(ids[k], first.data(), first.size(), page_bench::kNow)) {
            fprintf(stderr, "fleet_view_bench: a document was refused\n");
            exit(1);
        }
    }
    // The documents of the timed rounds: one each per access point, its
    // number raised in place from round to round (same length: seq 10..99).
    for (int k = 0; k < aps; ++k) {
        docs[k] = scan_document(k, 10);
    }
    const std::string seq_key = "\"seq\":";
    Figures f;
    int64_t now = page_bench::kNow;
    long taken = 0;
    double start = cpu_seconds();
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < aps; ++k) {
            std::string& d = docs[k];
            size_t at = d.find(seq_key) + seq_key.size();
            std::string seq = std::to_string(10 + r);
            d.replace(at, 2, seq);
            if (!view.take_scan_payload(ids[k], d.data(), d.size(), now)) {
                fprintf(stderr, "fleet_view_bench: a document was refused\n");
                exit(1);
            }
            if (++taken % docs_per_second == 0) {
                view.forget(++now);
            }
        }
    }
    f.view_ns = (cpu_seconds() - start) * 1e9 / taken;
    if (view.counters().scans != static_cast<uint64_t>(aps) * (rounds + 1) ||
        view.stations().size() != static_cast<size_t>(aps) * 50 + 50) {
        fprintf(stderr, "fleet_view_bench: the view is not what was fed\n");
        exit(1);
    }
    ScanPart part;
    std::string error;
    start = cpu_seconds();
    for (long i = 0; i < taken; ++i) {
        const std::string& d = docs[i % aps];
        if (!parse_scan_part(d.data(), d.size(), part, error)) {
            fprintf(stderr, "fleet_view_bench: %s\n", error.c_str());
            exit(1);
        }
    }
    f.read_ns = (cpu_seconds() - start) * 1e9 / taken;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 20;
    if (argc == 3 && strcmp(argv[1], "--rounds") == 0) {
        rounds = atoi(argv[2]);
    }
    if (rounds < 1 || rounds > 89) {
        fprintf(stderr, "usage: fleet_view_bench [--rounds 1..89]\n");
        return 2;
    }
    double last_read_us = 0;
    for (int aps : {10, 1000, 10000}) {
        // At least 20,000 documents at every size: the small view's rounds repeat.
        int n = std::max(rounds, std::min(89, 20000 / aps));
        Figures f = measure(aps, n);
        printf("%d access points: %.1f us a document (%.1f us reading it), %d rounds\n", aps,
               f.view_ns / 1000, f.read_ns / 1000, n);
        printf("result fleet_view_%d_ns %.0f\n", aps, f.view_ns);
        last_read_us = f.read_ns / 1000;
        printf("result fleet_read_%d_ns %.0f\n", aps, f.read_ns);
    }
    printf(
        "note fleet view: one 100-station document read and merged, the once-a-second"
        " forgetting's share included (1,000 documents a second), in views of 10, 1,000 and"
        " 10,000 access points, in the thread's CPU time; of it, the read alone (simdjson and"
        " the field checks) took %.1f us at 10,000.\n",
        last_read_us);
    return 0;
}
