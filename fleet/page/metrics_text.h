// The collector's figures for Prometheus: a small writer of its text exposition format (0.0.4)
// and the collector's own families, rendered from one view snapshot and the history's and HTTP
// server's counters. Every name starts with vorlask_, counters end in _total, times are seconds.
// Labels are of bounded number: the site (only when the access point has one: a collector of
// one site leaves it out), the access point (at most `max_aps` of them), the HTTP status code;
// never a station. Other modules add their families through the same writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "history_recorder.h"
#include "view_snapshot.h"
#include "visit_tracker.h"

namespace fleet_page {

// What the exposition format's answers are sent as.
extern const char* const kMetricsContentType;

class MetricsWriter {
  public:
    enum class Type { counter, gauge };
    // Label names and values; the values are escaped as the format wants.
    using Labels = std::vector<std::pair<const char*, std::string>>;

    // Starts a family: its # HELP and # TYPE lines. Its samples follow with sample().
    void family(const std::string& name, const std::string& help, Type type);
    void sample(const Labels& labels, double value);
    void sample(const Labels& labels, int64_t value);
    void sample(const Labels& labels, uint64_t value) {
        sample(labels, static_cast<int64_t>(value));
    }

    const std::string& text() const { return text_; }

  private:
    void start_sample(const Labels& labels);
    std::string text_;
    std::string name_;  // the family's name, each sample's too
};

struct MetricsInput {
    const ViewSnapshot* view = nullptr;
    RecorderStats history;
    std::vector<std::pair<int, uint64_t>> http_requests;  // by status code, ascending
    // Access points given series of their own (the first by id); 0: none.
    size_t max_aps = 2000;
};

// The collector's families: documents, access points, stations, people and devices, the
// history's backlog and counters, HTTP requests.
void write_collector_metrics(MetricsWriter& out, const MetricsInput& in);

// The visits' families (with --visits): visits begun and ended by kind, visitors new and
// returning, open visits, and what their bounds turned away.
void write_visit_metrics(MetricsWriter& out, const fleet_visits::VisitTotals& totals,
                         uint64_t events_dropped);

}  // namespace fleet_page
