// Cost of one scan pass per table entry: scan_entries over a table of N
// entries, about half of them dropped, beside a plain compaction of the same
// entries (std::remove_if and erase over the same ProbeEntry values, deleting
// the dropped records) measured in the same run.
//
//   scan_bench [--sizes N,N...] [--rounds R]      (default 1000,100000 and 0)
//
// Each round builds a fresh table (its records allocated one by one, as the
// receive worker does) and times one pass of each; the two alternate which
// goes first. With --rounds 0 the count follows the size: 301 rounds for
// 1,000 entries, 31 for 100,000. Prints the best and the median in ns per
// entry, and "result scan_N_ns X" / "result scan_N_base_ns Y" lines (best).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scan.h"

namespace {

constexpr uint16_t randommax = 2;

// What the kept-entry callbacks saw, printed at the end so that no pass can
// be optimised away.
uint64_t kept_seen = 0;
uint64_t checksum = 0;
// Entries left by the last pass of each kind: both must leave the same.
size_t scan_left = 0;
size_t compaction_left = 0;

void count_kept(void* /*context*/, const ProbeEntry& entry) {
    kept_seen += entry.count;
}

// Entry i is kept when a hash of i is even: a mixed pattern with no long
// runs, like stable stations among randomised addresses.
bool kept_at(size_t i) {
    uint64_t x = i * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return (x & 1) == 0;
}

ProbeList build_table(size_t n) {
    ProbeList list;
    list.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        auto* record = new ProbeRecord{};
        record->mac[0] = 0x02;
        for (int b = 0; b < 5; ++b) {
            record->mac[1 + b] = static_cast<uint8_t>(i >> (8 * (4 - b)));
        }
        record->rssi = -40;
        ProbeEntry entry{};
        entry.record = record;
        entry.reported_count = 10;
        entry.count = kept_at(i) ? 10 + randommax + static_cast<uint32_t>(i % 5) : 11;
        entry.last_seen.tv_sec = static_cast<time_t>(1700000000 + i);
        list.push_back(entry);
    }
    return list;
}

void release(ProbeList& list) {
    for (ProbeEntry& entry : list) {
        checksum += entry.count;
        delete entry.record;
    }
    list.clear();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double time_scan(size_t n) {
    ProbeList list = build_table(n);
    auto start = std::chrono::steady_clock::now();
    size_t dropped = scan_entries(list, randommax, ScanSinks{{{count_kept, nullptr, nullptr}}, 1});
    double took = seconds_since(start);
    checksum += dropped;
    scan_left = list.size();
    release(list);
    return took;
}

double time_compaction(size_t n) {
    ProbeList list = build_table(n);
    const uint32_t threshold = randommax;
    auto start = std::chrono::steady_clock::now();
    auto end = std::remove_if(list.begin(), list.end(), [&](ProbeEntry& entry) {
        if (entry.count - entry.reported_count < threshold) {
            delete entry.record;
            return true;
        }
        return false;
    });
    list.erase(end, list.end());
    double took = seconds_since(start);
    compaction_left = list.size();
    release(list);
    return took;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void usage() {
    fprintf(stderr, "usage: scan_bench [--sizes N,N...] [--rounds R]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> sizes = {1000, 100000};
    int rounds = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--sizes") == 0 && i + 1 < argc) {
            sizes.clear();
            for (const char* p = argv[++i]; *p != '\0';) {
                char* end = nullptr;
                unsigned long long v = strtoull(p, &end, 10);
                if (end == p || v == 0) {
                    usage();
                }
                sizes.push_back(static_cast<size_t>(v));
                p = *end == ',' ? end + 1 : end;
                if (*end != ',' && *end != '\0') {
                    usage();
                }
            }
        } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = atoi(argv[++i]);
        } else {
            usage();
        }
    }
    for (size_t n : sizes) {
        const int r = rounds > 0 ? rounds : (n <= 10000 ? 301 : 31);
        std::vector<double> scan;
        std::vector<double> base;
        for (int i = 0; i < r; ++i) {
            if (i % 2 == 0) {
                scan.push_back(time_scan(n));
                base.push_back(time_compaction(n));
            } else {
                base.push_back(time_compaction(n));
                scan.push_back(time_scan(n));
            }
            if (scan_left != compaction_left) {
                fprintf(stderr, "scan_bench: the scan left %zu entries, the compaction %zu\n",
                        scan_left, compaction_left);
                return 1;
            }
        }
        const double per = 1e9 / static_cast<double>(n);
        const double scan_best = *std::min_element(scan.begin(), scan.end()) * per;
        const double base_best = *std::min_element(base.begin(), base.end()) * per;
        size_t kept = 0;
        for (size_t j = 0; j < n; ++j) {
            kept += kept_at(j) ? 1 : 0;
        }
        printf(
            "scan of %zu entries (%zu kept), %d rounds: scan_entries best %.2f ns/entry "
            "(median %.2f), remove_if/erase best %.2f ns/entry (median %.2f)\n",
            n, kept, r, scan_best, median(scan) * per, base_best, median(base) * per);
        printf("result scan_%zu_ns %.2f\n", n, scan_best);
        printf("result scan_%zu_base_ns %.2f\n", n, base_best);
    }
    // Keeps every pass observable.
    fprintf(stderr, "(checksum %llu, kept counts %llu)\n",
            static_cast<unsigned long long>(checksum), static_cast<unsigned long long>(kept_seen));
    return 0;
}
