// Feeds the history store from the fleet's intake without ever making the intake wait for the
// disk: the intake appends samples to a list bounded in hearings (what a sample's memory grows
// with) under a lock held only for the append, and wakes the recorder's thread, which folds them
// into per-minute and per-hour deltas at once (bounded by the minutes and station hours they
// fall in, not by the samples), writes those to SQLite every flush interval, and prunes what is
// older than the retention period. The database is bounded too: new station hours per access
// point per hour, and its size; what goes beyond is refused, counted and said. A write that fails
// is said (once per error text, on standard error and to syslog) and its rows retried with the
// next flushes, for a bounded number of them; a database deleted while open is opened afresh.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "history_store.h"
#include "visit_tracker.h"

namespace fleet_page {

// One access point's hearing of one station in one scan.
struct Hearing {
    std::string address;
    int rssi = 0;
    int64_t last_seen = 0;  // fleet clock
};

// One merged scan of one access point (ap empty: the site as a whole, hearings unused).
struct ScanSample {
    std::string ap;
    int64_t time = 0;  // fleet clock
    int64_t stations = 0;
    std::optional<int64_t> crowd;
    std::vector<Hearing> hearings;
};

struct RecorderSettings {
    int64_t retention_seconds = 7 * 24 * 3600;
    int flush_interval_ms = 5000;
    // Hearings waiting to be folded (a sample counts one more than its hearings, so empty ones
    // count too); a sample that would go beyond is dropped. About 100 bytes each: 100 MB at
    // most, some 100 s of a thousand access points' hearings while SQLite is held up.
    size_t max_pending_hearings = 1000000;
    // New station hours one access point may add in one hour (a busy one hears a few thousand).
    uint64_t max_station_hours_per_ap = 50000;
    // Bytes of data the database may hold (0: no bound); new rows are refused beyond.
    int64_t max_db_bytes = 0;
    // Flushes a failed write's rows are tried again with before they are given up, and how many
    // rows that may be at most.
    int max_retries = 12;
    size_t max_retry_rows = 1000000;
    // Visits: kept this long (0: visits off, nothing pruned); events waiting to be folded, beyond
    // which they are dropped (counted).
    int64_t visit_retention_seconds = 0;
    size_t max_pending_visits = 100000;
};

struct RecorderStats {
    uint64_t samples_taken = 0, samples_dropped = 0;
    uint64_t flushes = 0, flush_errors = 0, rows_written = 0;
    uint64_t rows_refused = 0;  // beyond the station hours of an access point, or a full database
    uint64_t rows_lost = 0;     // given up after the retries
    uint64_t backlog_samples = 0, backlog_hearings = 0;  // waiting to be folded, at the time
    uint64_t visits_dropped = 0;                         // visit events beyond max_pending_visits
    std::string last_error;
};

// The counters as /api/summary shows them under "history".
std::vector<std::pair<std::string, int64_t>> summary_counters(const RecorderStats& stats);

class HistoryRecorder {
  public:
    // `path` names the database in what is said.
    HistoryRecorder(std::unique_ptr<HistoryStore> store, RecorderSettings settings,
                    std::string path = "");
    ~HistoryRecorder();  // flushes what is pending and joins the thread
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // Any thread; never waits for SQLite. Returns false when the sample was dropped.
    bool record(ScanSample sample);
    // Visits that began and ended, folded into their sites' and access points' hours and days,
    // and the stations' visit days. Any thread; false when they were dropped.
    bool record_visits(std::vector<fleet_visits::VisitEvent> events);
    // Writes everything taken so far before returning (tests, shutdown).
    void flush();
    RecorderStats stats() const;

  private:
    struct StationKey {
        std::string address;
        int64_t hour;
        bool operator==(const StationKey& o) const {
            return hour == o.hour && address == o.address;
        }
    };
    struct StationKeyHash {
        size_t operator()(const StationKey& k) const {
            return std::hash<std::string>()(k.address) ^ static_cast<size_t>(k.hour * 31);
        }
    };

    void run();
    void fold(const ScanSample& sample);
    void fold_visit(const fleet_visits::VisitEvent& event);
    void write_visits(uint64_t& written, uint64_t& refused, uint64_t& lost);
    void write_out(int64_t now);
    bool write_rows(std::vector<MinuteDelta>& minutes, std::vector<StationDelta>& stations,
                    std::string& error, uint64_t& refused);
    void after_failure(std::vector<MinuteDelta>& minutes, std::vector<StationDelta>& stations,
                       const std::string& error, uint64_t& lost);

    std::unique_ptr<HistoryStore> store_;
    RecorderSettings settings_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<ScanSample> pending_;
    std::vector<fleet_visits::VisitEvent> pending_visits_;
    size_t pending_hearings_ = 0;
    bool stopping_ = false;
    uint64_t flush_requested_ = 0, flush_done_ = 0;
    std::condition_variable flushed_;
    RecorderStats stats_;

    // Owned by the recorder thread.
    std::map<std::pair<std::string, int64_t>, MinuteDelta> minutes_;
    std::unordered_map<StationKey, StationDelta, StationKeyHash> stations_;
    int64_t last_prune_ = 0;
    std::string path_;                        // for what is said
    std::vector<MinuteDelta> retry_minutes_;  // rows of failed writes, tried again
    std::vector<StationDelta> retry_stations_;
    int retries_ = 0;             // flushes the retried rows failed in
    uint64_t failed_writes_ = 0;  // in a row
    std::string said_error_;      // the failure said last
    bool full_ = false;           // the database is at its size bound
    std::map<std::pair<std::string, int64_t>, uint64_t> hours_added_;  // by access point, hour
    // Hours whose counts were taken from the database (what an earlier run of the collector
    // added counts too, so that a restart does not open the cap again).
    std::set<int64_t> hours_counted_;
    // Visit rows by site, access point, period and whether it is a day; stations' visit days.
    std::map<std::tuple<std::string, std::string, int64_t, bool>, VisitRow> visit_rows_;
    std::map<std::string, VisitDays> visit_days_;
    int visit_failures_ = 0;  // visit writes failed in a row

    std::thread thread_;
};

}  // namespace fleet_page
