// The fleet's web page as one piece: the HTTP server and its routes, the live feed, the history
// (recorder thread writing, a read connection for the charts) and the maker names. The intake
// hands it merged scans and views; neither call waits for the disk or for a browser.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "event_feed.h"
#include "history_recorder.h"
#include "http_server.h"
#include "maker_lookup.h"
#include "metrics_text.h"
#include "view_snapshot.h"

namespace fleet_page {

struct PageSettings {
    HttpSettings http;
    std::string token_file;  // empty: no access token
    std::string db_path = "/var/lib/vorlask-fleet/history.db";
    RecorderSettings recorder;
    std::string ieee_directory = MakerLookup::kDefaultDirectory;
    std::string dygraphs_directory = "/usr/share/javascript/dygraphs";
    size_t metrics_per_ap = 2000;  // access points with series of their own in /metrics
    bool visits = false;  // /api/visits answers from the history (recorder.visit_retention_seconds)
};

// Reads the token: one line of printable characters that a cookie can carry.
bool read_token_file(const std::string& path, std::string& token, std::string& error);

class FleetPage {
  public:
    FleetPage() = default;
    ~FleetPage();
    FleetPage(const FleetPage&) = delete;
    FleetPage& operator=(const FleetPage&) = delete;

    bool start(const PageSettings& settings, std::string& error);
    void stop();
    uint16_t port() const { return server_.port(); }

    // The intake's side; any thread, never blocks on the disk or the network.
    void on_scan(ScanSample sample);
    void on_view(std::shared_ptr<const ViewSnapshot> view);

    HistoryRecorder* recorder() { return recorder_.get(); }

    // Families another module adds to /metrics, after the collector's own; set before start.
    using MetricsSource = std::function<void(MetricsWriter&)>;
    void add_metrics(MetricsSource source) { metrics_sources_.push_back(std::move(source)); }
    // The /metrics text as it would be served now.
    std::string metrics_text() const;
    // Visits: what began and ended (any thread, never blocks on the disk); the stations' visit
    // days from the history (at start); the classifier's totals as the loop last handed them
    // over, for /metrics (none while visits are off).
    void on_visits(std::vector<fleet_visits::VisitEvent> events);
    std::vector<VisitDays> visit_days(int64_t since_day, size_t limit);
    void set_visit_totals(const fleet_visits::VisitTotals& totals);
    std::optional<fleet_visits::VisitTotals> visit_totals() const;

    // The view document of the latest snapshot, rendered once and shared by every answer; at
    // most kMaxViewDocuments stand at once (older ones still being sent included): past that,
    // the last one rendered is served again.
    std::shared_ptr<const std::string> view_document();
    static constexpr int kMaxViewDocuments = 2;

  private:
    struct Published {
        std::shared_ptr<const ViewSnapshot> view;
        std::shared_ptr<const std::string> summary;  // what the live feed carries too
    };
    Published current() const;
    HttpResponse history(const HttpRequest& request);
    HttpResponse station_history(const HttpRequest& request);
    HttpResponse visits(const HttpRequest& request);

    PageSettings settings_;
    MakerLookup makers_;
    std::unique_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<HistoryStore> reader_;
    std::mutex reader_mutex_;
    std::mutex publish_mutex_;
    mutable std::mutex view_mutex_;
    Published published_;
    std::mutex render_mutex_;  // one rendering at a time; the others wait and share it
    std::weak_ptr<const ViewSnapshot> rendered_from_;
    std::shared_ptr<const std::string> rendered_;
    std::shared_ptr<std::atomic<int>> documents_ = std::make_shared<std::atomic<int>>(0);
    std::vector<MetricsSource> metrics_sources_;
    EventFeed feed_;
    HttpServer server_;
    std::string dygraph_js_, dygraph_css_;
    bool started_ = false;
    mutable std::mutex visit_totals_mutex_;
    std::optional<fleet_visits::VisitTotals> visit_totals_;
};

}  // namespace fleet_page
