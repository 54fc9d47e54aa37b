// The fleet's history in SQLite: per access point (and for the site as a whole) per minute the
// stations and crowd estimate (least, most, mean), per station its first and last seen and its
// strongest access point per hour. One object is one connection; the recorder thread writes
// through one, the web page reads through another (WAL lets readers run beside the writer).
// The writer checks the file when it opens it (a damaged one is kept aside and a fresh one
// begun), holds it under a size limit, and follows its path: a file deleted or replaced while
// open is noticed at the next write or read, and the path opened again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace fleet_page {

// Deltas of one minute of one access point (ap empty: the site as a whole). Merged into what the
// database already holds for that minute.
struct MinuteDelta {
    std::string ap;
    int64_t minute = 0;  // unix seconds, a multiple of 60
    int64_t samples = 0;
    int64_t stations_min = 0, stations_max = 0, stations_sum = 0;
    int64_t crowd_samples = 0;
    int64_t crowd_min = 0, crowd_max = 0, crowd_sum = 0;
};

// The strongest hearing of one station within one hour, and the span it was seen in.
struct StationDelta {
    std::string address;
    int64_t hour = 0;  // unix seconds, a multiple of 3600
    std::string ap;
    int rssi = 0;
    int64_t first_seen = 0, last_seen = 0;
};

struct HistoryPoint {
    int64_t minute = 0;
    double stations_min = 0, stations_max = 0, stations_mean = 0;
    std::optional<double> crowd_min, crowd_max, crowd_mean;
};

struct StationHistory {
    int64_t first_seen = 0, last_seen = 0;
    struct Hour {
        int64_t hour;
        std::string ap;
        int rssi;
    };
    std::vector<Hour> hours;  // oldest first
};

// Visits of one site and access point in one hour or one day (`period`: its start, unix
// seconds). Begun visits count in the period they began in, everything else in the one they
// ended in.
struct VisitCounts {
    int64_t started = 0, ended = 0, visitors = 0, passersby = 0;
    int64_t new_visitors = 0, returning = 0;  // of the visitors
    int64_t dwell[4] = {};      // ended visits: under 5 minutes, 5 to 15, 15 to 60, 60 and over
    int64_t dwell_seconds = 0;  // of the ended visits, summed
};

struct VisitRow {
    std::string site, ap;
    int64_t period = 0;
    bool day = false;  // a day's row (else an hour's)
    VisitCounts counts;
};

// A station's visit days (unix days, UTC): the latest and the latest before it (-1: none), kept
// so that a visitor is known as returning across restarts. `key` as the documents gave it.
struct VisitDays {
    std::string key;
    int64_t last_day = -1, earlier_day = -1;
};

// Said on standard error and to syslog: what went wrong with the history, or changed.
void say_history(const std::string& text);

class HistoryStore {
  public:
    // Opens (creating if needed) the database at path; nullptr and error on failure. The writer
    // runs SQLite's quick_check first: a file that fails it (or is no database) is renamed to
    // path + ".damaged-" + the unix time, with its -wal and -shm, said, and a fresh one begun.
    static std::unique_ptr<HistoryStore> open(const std::string& path, bool read_only,
                                              std::string& error);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Holds the file's pages at `bytes` at most (SQLite's max_page_count): a write beyond fails
    // as full. 0: no limit.
    bool set_size_limit(int64_t bytes, std::string& error);
    // Bytes in pages that hold data (page count less the free list).
    int64_t used_bytes();
    // Opens the path again when the file open is no longer there (deleted, or replaced by
    // another). True when it did so; false with `error` empty when nothing had to be done.
    bool follow_path(std::string& error);

    // Merges the deltas in one transaction. With `may_add`, a station hour the database does not
    // hold yet is asked for first; one refused is left out and counted in `refused`.
    bool write(const std::vector<MinuteDelta>& minutes, const std::vector<StationDelta>& stations,
               std::string& error,
               const std::function<bool(const StationDelta&)>& may_add = nullptr,
               uint64_t* refused = nullptr);
    // Station hours of one hour by the access point each names (its strongest), added to
    // `out`; false with `error` when the database cannot say.
    bool station_hours_by_ap(int64_t hour, std::map<std::string, uint64_t>& out,
                             std::string& error);
    // Removes everything older than oldest_kept (unix seconds); returns the rows removed.
    int64_t prune(int64_t oldest_kept);

    // Merges visit rows and replaces stations' visit days, in one transaction.
    bool write_visits(const std::vector<VisitRow>& rows, const std::vector<VisitDays>& stations,
                      std::string& error);
    // Removes visit rows and days wholly older than oldest_kept; returns the rows removed.
    int64_t prune_visits(int64_t oldest_kept);
    // Hours (or days) in [from, to], oldest first, summed over the access points of one site (all
    // sites when `site` is absent) or of one access point (`ap` not empty).
    std::vector<VisitRow> visits(bool by_day, const std::optional<std::string>& site,
                                 const std::string& ap, int64_t from, int64_t to);
    // The visit days of at most `limit` stations last seen on since_day or later, latest first.
    std::vector<VisitDays> visit_days(int64_t since_day, size_t limit);

    // Minutes in [from, to] of one access point, or of the site when ap is empty; oldest first.
    std::vector<HistoryPoint> series(const std::string& ap, int64_t from, int64_t to);
    std::optional<StationHistory> station(const std::string& address, int64_t from, int64_t to);
    // Bytes the database file holds (page count x page size).
    int64_t size_bytes();

  private:
    explicit HistoryStore(sqlite3* db) : db_(db) {}
    static sqlite3* connect(const std::string& path, bool read_only, std::string& error);
    bool prepare(std::string& error);
    bool exec(const char* sql, std::string& error);
    // Ends the transaction: COMMIT when ok, else ROLLBACK with SQLite's error in `error`.
    bool finish(bool ok, std::string& error);
    // Runs each DELETE with ?1 bound to oldest_kept; returns the rows removed.
    int64_t delete_older(const char* const* deletes, size_t count, int64_t oldest_kept);
    sqlite3* db_;
    std::string path_;
    bool read_only_ = false;
    uint64_t device_ = 0, inode_ = 0;  // of the file opened
    int64_t size_limit_ = 0;
};

}  // namespace fleet_page
