// Hand-over throughput: one thread queues --datagrams pre-rendered reports
// through queue_datagram; the rate runs from the first queue_datagram to the
// completion of the last send on the loop thread. Beside it, the same
// datagrams through a raw sendto loop on a plain UDP socket to the same
// destination. --rounds of each, alternating; the best of each counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "handover_harness.h"

struct HandoverThroughput {
    // Completions, counted on the loop thread.
    std::atomic<uint64_t> completions{0};
    std::atomic<uint64_t> completion_errors{0};
    uint64_t completion_target = 0;
    std::atomic<uint64_t> last_completion_ns{0};

    // Control thread only until the loop has ended.
    std::vector<double> handover_rates;
    std::vector<double> sendto_rates;
    double batched_share = 0;  // of the last round's datagrams, sent by sendmmsg
    double batch_width = 0;    // datagrams per sendmmsg call
};

// On the control thread while the loop runs.
void measure_throughput(Harness& h, HandoverThroughput& t);
// The figures, as "result KEY VALUE" lines.
void print_throughput(const Harness& h, const HandoverThroughput& t);
