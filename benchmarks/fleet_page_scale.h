// The web page at 10,000 access points x 100 stations (1,000,000 stations): /api/view and
// /api/summary (the page's first data) under 16 concurrent requests sent from eight local
// addresses (127.0.0.2 to .9, two each: the page's per-address limit applies), p50 and p99
// over several rounds, each round after a new snapshot so that its first request renders; beside
// the same rounds with the document already rendered (only sent), the collector's own writer of
// the same document, and the page's icon under the same load.
// Prints "result KEY VALUE" lines.
#pragma once

#include <string>

namespace page_bench {

int bench_scale(const std::string& dir);

}  // namespace page_bench
