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
    sqlite3* db_;
    std::string path_;
    bool read_only_ = false;
    uint64_t device_ = 0, inode_ = 0;  // of the file opened
    int64_t size_limit_ = 0;
};

}  // namespace fleet_page
