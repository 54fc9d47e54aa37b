#include "history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fleet_page {

namespace {

// The site as a whole lives in its own table so that no client id can collide with it.
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS ap_minute(ap TEXT NOT NULL, minute INTEGER NOT NULL,"
    " samples INTEGER NOT NULL, st_min INTEGER, st_max INTEGER, st_sum INTEGER,"
    " crowd_n INTEGER NOT NULL, crowd_min INTEGER, crowd_max INTEGER, crowd_sum INTEGER,"
    " PRIMARY KEY(ap, minute)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS ap_minute_age ON ap_minute(minute);"
    "CREATE TABLE IF NOT EXISTS site_minute(minute INTEGER PRIMARY KEY,"
    " samples INTEGER NOT NULL, st_min INTEGER, st_max INTEGER, st_sum INTEGER,"
    " crowd_n INTEGER NOT NULL, crowd_min INTEGER, crowd_max INTEGER, crowd_sum INTEGER);"
    "CREATE TABLE IF NOT EXISTS station_seen(address TEXT PRIMARY KEY,"
    " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS station_seen_age ON station_seen(last_seen);"
    "CREATE TABLE IF NOT EXISTS station_hour(address TEXT NOT NULL, hour INTEGER NOT NULL,"
    " ap TEXT NOT NULL, rssi INTEGER NOT NULL, PRIMARY KEY(address, hour)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS station_hour_age ON station_hour(hour);";

// Visits per site and access point per hour and per day, and the stations' visit days.
#define VISIT_COLUMNS                                                                     \
    " started INTEGER NOT NULL, ended INTEGER NOT NULL, visitors INTEGER NOT NULL,"       \
    " passersby INTEGER NOT NULL, new_visitors INTEGER NOT NULL,"                         \
    " returning_visitors INTEGER NOT NULL, dwell_5 INTEGER NOT NULL,"                     \
    " dwell_15 INTEGER NOT NULL, dwell_60 INTEGER NOT NULL, dwell_over INTEGER NOT NULL," \
    " dwell_sum INTEGER NOT NULL,"
const char* const kVisitSchema =
    "CREATE TABLE IF NOT EXISTS visit_hour(site TEXT NOT NULL, ap TEXT NOT NULL,"
    " hour INTEGER NOT NULL," VISIT_COLUMNS
    " PRIMARY KEY(site, ap, hour)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS visit_hour_age ON visit_hour(hour);"
    "CREATE TABLE IF NOT EXISTS visit_day(site TEXT NOT NULL, ap TEXT NOT NULL,"
    " day INTEGER NOT NULL," VISIT_COLUMNS
    " PRIMARY KEY(site, ap, day)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS visit_day_age ON visit_day(day);"
    "CREATE TABLE IF NOT EXISTS visit_station(key TEXT PRIMARY KEY, last_day INTEGER NOT NULL,"
    " earlier_day INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS visit_station_age ON visit_station(last_day);";
#define VISIT_MERGE                                                                         \
    " started = started + excluded.started, ended = ended + excluded.ended,"                \
    " visitors = visitors + excluded.visitors, passersby = passersby + excluded.passersby," \
    " new_visitors = new_visitors + excluded.new_visitors,"                                 \
    " returning_visitors = returning_visitors + excluded.returning_visitors,"               \
    " dwell_5 = dwell_5 + excluded.dwell_5,"                                                \
    " dwell_15 = dwell_15 + excluded.dwell_15, dwell_60 = dwell_60 + excluded.dwell_60,"    \
    " dwell_over = dwell_over + excluded.dwell_over, dwell_sum = dwell_sum + excluded.dwell_sum"
// A range of visit rows summed over sites and access points, or of one of each.
#define VISIT_SUMS                                                                           \
    " sum(started), sum(ended), sum(visitors), sum(passersby), sum(new_visitors),"           \
    " sum(returning_visitors), sum(dwell_5), sum(dwell_15), sum(dwell_60), sum(dwell_over)," \
    " sum(dwell_sum)"
#define VISIT_WHERE " BETWEEN ?1 AND ?2 AND (?3 IS NULL OR site = ?3) AND (?4 = '' OR ap = ?4)"
const char* const kUpsertVisitHour =
    "INSERT INTO visit_hour VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)"
    " ON CONFLICT(site, ap, hour) DO UPDATE SET" VISIT_MERGE;
const char* const kUpsertVisitDay =
    "INSERT INTO visit_day VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)"
    " ON CONFLICT(site, ap, day) DO UPDATE SET" VISIT_MERGE;
const char* const kUpsertVisitStation =
    "INSERT INTO visit_station VALUES(?1,?2,?3) ON CONFLICT(key) DO UPDATE SET"
    " last_day = excluded.last_day, earlier_day = excluded.earlier_day";

// Merging a delta: counts add, least/most keep the extreme; a minute without crowd estimates
// keeps NULL there (min/max of NULL is NULL, so coalesce picks whichever side has a value).
#define MERGE_COLUMNS                                                                           \
    " samples = samples + excluded.samples,"                                                    \
    " st_min = min(st_min, excluded.st_min), st_max = max(st_max, excluded.st_max),"            \
    " st_sum = st_sum + excluded.st_sum, crowd_n = crowd_n + excluded.crowd_n,"                 \
    " crowd_min = coalesce(min(crowd_min, excluded.crowd_min), crowd_min, excluded.crowd_min)," \
    " crowd_max = coalesce(max(crowd_max, excluded.crowd_max), crowd_max, excluded.crowd_max)," \
    " crowd_sum = coalesce(crowd_sum + excluded.crowd_sum, crowd_sum, excluded.crowd_sum)"

const char* const kUpsertAp =
    "INSERT INTO ap_minute VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)"
    " ON CONFLICT(ap, minute) DO UPDATE SET" MERGE_COLUMNS;
const char* const kUpsertSite =
    "INSERT INTO site_minute VALUES(?2,?3,?4,?5,?6,?7,?8,?9,?10)"
    " ON CONFLICT(minute) DO UPDATE SET" MERGE_COLUMNS;
const char* const kUpsertSeen =
    "INSERT INTO station_seen VALUES(?1,?2,?3) ON CONFLICT(address) DO UPDATE SET"
    " first_seen = min(first_seen, excluded.first_seen),"
    " last_seen = max(last_seen, excluded.last_seen)";
const char* const kUpsertHour =
    "INSERT INTO station_hour VALUES(?1,?2,?3,?4) ON CONFLICT(address, hour) DO UPDATE SET"
    " ap = excluded.ap, rssi = excluded.rssi WHERE excluded.rssi > rssi";
const char* const kHourKnown = "SELECT 1 FROM station_hour WHERE address = ?1 AND hour = ?2";

// Statements prepared for one call and finalized on every path out.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

void bind_text(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void bind_optional(sqlite3_stmt* s, int i, bool present, int64_t v) {
    if (present)
        sqlite3_bind_int64(s, i, v);
    else
        sqlite3_bind_null(s, i);
}

std::optional<double> column_optional(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_double(s, i);
}

// A text column, or "" for NULL.
std::string column_text(sqlite3_stmt* s, int i) {
    const unsigned char* text = sqlite3_column_text(s, i);
    return text ? reinterpret_cast<const char*>(text) : "";
}

bool file_id(const std::string& path, uint64_t& device, uint64_t& inode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
}

// SQLite's quick_check, stopping at the first problem: "ok" or what is wrong.
bool passes_check(sqlite3* db, std::string& problem) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &s, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(s);
    const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(s, 0) : nullptr;
    problem = text ? reinterpret_cast<const char*>(text) : sqlite3_errmsg(db);
    sqlite3_finalize(s);
    return rc == SQLITE_ROW && problem == "ok";
}

// Renames the file and its -wal and -shm to aside + the same suffixes.
bool set_aside(const std::string& path, const std::string& aside, std::string& error) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string from = path + suffix, to = aside + suffix;
        if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            error = "cannot keep " + from + " aside as " + to + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

void say_history(const std::string& text) {
    fprintf(stderr, "vorlask-fleet: %s\n", text.c_str());
    syslog(LOG_WARNING, "%s", text.c_str());
}

sqlite3* HistoryStore::connect(const std::string& path, bool read_only, std::string& error) {
    sqlite3* db = nullptr;
    int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // A reader waits a little for the writer's commit rather than failing at once.
    sqlite3_busy_timeout(db, 2000);
    return db;
}

bool HistoryStore::prepare(std::string& error) {
    if (!read_only_ && (!exec("PRAGMA journal_mode=WAL", error) ||
                        !exec("PRAGMA synchronous=NORMAL", error) || !exec(kSchema, error) ||
                        !exec(kVisitSchema, error) || !set_size_limit(size_limit_, error)))
        return false;
    if (read_only_ && !exec("SELECT count(*) FROM ap_minute", error))
        return false;
    if (!file_id(path_, device_, inode_)) {
        error = "cannot stat " + path_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

std::unique_ptr<HistoryStore> HistoryStore::open(const std::string& path, bool read_only,
                                                 std::string& error) {
    sqlite3* db = connect(path, read_only, error);
    if (!db)
        return nullptr;
    std::string problem;
    if (!read_only && !passes_check(db, problem)) {
        sqlite3_close(db);
        std::string aside = path + ".damaged-" + std::to_string(time(nullptr));
        if (!set_aside(path, aside, error))
            return nullptr;
        say_history("history database " + path + " failed its check (" + problem +
                    "): kept aside as " + aside + ", a fresh one begun");
        db = connect(path, read_only, error);
        if (!db)
            return nullptr;
    }
    std::unique_ptr<HistoryStore> store(new HistoryStore(db));
    store->path_ = path;
    store->read_only_ = read_only;
    if (!store->prepare(error))
        return nullptr;
    return store;
}

bool HistoryStore::set_size_limit(int64_t bytes, std::string& error) {
    size_limit_ = bytes;
    if (bytes <= 0)
        return true;
    Statement s(db_, "SELECT page_size FROM pragma_page_size");
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    int64_t pages = std::max<int64_t>(bytes / sqlite3_column_int64(s.get(), 0), 1);
    return exec(("PRAGMA max_page_count=" + std::to_string(pages)).c_str(), error);
}

int64_t HistoryStore::used_bytes() {
    Statement s(db_,
                "SELECT (page_count - freelist_count) * page_size"
                " FROM pragma_page_count, pragma_freelist_count, pragma_page_size");
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return -1;
    return sqlite3_column_int64(s.get(), 0);
}

bool HistoryStore::follow_path(std::string& error) {
    error.clear();
    uint64_t device = 0, inode = 0;
    bool there = file_id(path_, device, inode);
    if (there ? device == device_ && inode == inode_ : read_only_)
        return false;  // the same file, or (reading) none yet to follow
    sqlite3_close(db_);
    db_ = nullptr;
    if (!there) {
        // The -wal and -shm of a deleted file are its own: a fresh file must not take them up.
        for (const char* suffix : {"-wal", "-shm"})
            unlink((path_ + suffix).c_str());
    }
    db_ = connect(path_, read_only_, error);
    return db_ != nullptr && prepare(error);
}

HistoryStore::~HistoryStore() {
    sqlite3_close(db_);
}

bool HistoryStore::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool HistoryStore::write(const std::vector<MinuteDelta>& minutes,
                         const std::vector<StationDelta>& stations, std::string& error,
                         const std::function<bool(const StationDelta&)>& may_add,
                         uint64_t* refused) {
    if (!db_) {
        error = "not open";
        return false;
    }
    if (!exec("BEGIN", error))
        return false;
    Statement ap(db_, kUpsertAp), site(db_, kUpsertSite), seen(db_, kUpsertSeen),
        hour(db_, kUpsertHour), known(db_, kHourKnown);
    bool ok = ap && site && seen && hour && known;
    for (size_t i = 0; ok && i < minutes.size(); ++i) {
        const MinuteDelta& m = minutes[i];
        sqlite3_stmt* s = m.ap.empty() ? site.get() : ap.get();
        if (!m.ap.empty())
            bind_text(s, 1, m.ap);
        sqlite3_bind_int64(s, 2, m.minute);
        sqlite3_bind_int64(s, 3, m.samples);
        sqlite3_bind_int64(s, 4, m.stations_min);
        sqlite3_bind_int64(s, 5, m.stations_max);
        sqlite3_bind_int64(s, 6, m.stations_sum);
        sqlite3_bind_int64(s, 7, m.crowd_samples);
        bind_optional(s, 8, m.crowd_samples > 0, m.crowd_min);
        bind_optional(s, 9, m.crowd_samples > 0, m.crowd_max);
        bind_optional(s, 10, m.crowd_samples > 0, m.crowd_sum);
        ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
    }
    for (size_t i = 0; ok && i < stations.size(); ++i) {
        const StationDelta& d = stations[i];
        if (may_add) {
            // A new station hour is asked for; one already held is merged whatever the answer.
            bind_text(known.get(), 1, d.address);
            sqlite3_bind_int64(known.get(), 2, d.hour);
            int rc = sqlite3_step(known.get());
            sqlite3_reset(known.get());
            ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
            if (ok && rc == SQLITE_DONE && !may_add(d)) {
                if (refused)
                    ++*refused;
                continue;
            }
        }
        bind_text(seen.get(), 1, d.address);
        sqlite3_bind_int64(seen.get(), 2, d.first_seen);
        sqlite3_bind_int64(seen.get(), 3, d.last_seen);
        ok = sqlite3_step(seen.get()) == SQLITE_DONE;
        sqlite3_reset(seen.get());
        bind_text(hour.get(), 1, d.address);
        sqlite3_bind_int64(hour.get(), 2, d.hour);
        bind_text(hour.get(), 3, d.ap);
        sqlite3_bind_int(hour.get(), 4, d.rssi);
        ok = ok && sqlite3_step(hour.get()) == SQLITE_DONE;
        sqlite3_reset(hour.get());
    }
    return finish(ok, error);
}

bool HistoryStore::finish(bool ok, std::string& error) {
    if (!ok) {
        error = sqlite3_errmsg(db_);
        std::string ignored;
        exec("ROLLBACK", ignored);
        return false;
    }
    return exec("COMMIT", error);
}

int64_t HistoryStore::delete_older(const char* const* deletes, size_t count, int64_t oldest_kept) {
    int64_t removed = 0;
    if (!db_)
        return 0;
    for (size_t i = 0; i < count; ++i) {
        Statement s(db_, deletes[i]);
        if (!s)
            continue;
        sqlite3_bind_int64(s.get(), 1, oldest_kept);
        if (sqlite3_step(s.get()) == SQLITE_DONE)
            removed += sqlite3_changes(db_);
    }
    return removed;
}

bool HistoryStore::station_hours_by_ap(int64_t hour, std::map<std::string, uint64_t>& out,
                                       std::string& error) {
    if (!db_) {
        error = "not open";
        return false;
    }
    Statement s(db_, "SELECT ap, COUNT(*) FROM station_hour WHERE hour = ?1 GROUP BY ap");
    if (!s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(s.get(), 1, hour);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        const unsigned char* ap = sqlite3_column_text(s.get(), 0);
        out[ap ? reinterpret_cast<const char*>(ap) : ""] +=
            static_cast<uint64_t>(sqlite3_column_int64(s.get(), 1));
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

int64_t HistoryStore::prune(int64_t oldest_kept) {
    static const char* const kDeletes[] = {
        "DELETE FROM ap_minute WHERE minute < ?1",
        "DELETE FROM site_minute WHERE minute < ?1",
        "DELETE FROM station_seen WHERE last_seen < ?1",
        // An hour is kept while any of it lies within the retention period.
        "DELETE FROM station_hour WHERE hour + 3600 <= ?1",
    };
    return delete_older(kDeletes, sizeof kDeletes / sizeof *kDeletes, oldest_kept);
}

bool HistoryStore::write_visits(const std::vector<VisitRow>& rows,
                                const std::vector<VisitDays>& stations, std::string& error) {
    if (!db_) {
        error = "not open";
        return false;
    }
    if (!exec("BEGIN", error))
        return false;
    Statement hour(db_, kUpsertVisitHour), day(db_, kUpsertVisitDay),
        station(db_, kUpsertVisitStation);
    bool ok = hour && day && station;
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        const VisitRow& r = rows[i];
        const VisitCounts& c = r.counts;
        sqlite3_stmt* s = r.day ? day.get() : hour.get();
        bind_text(s, 1, r.site);
        bind_text(s, 2, r.ap);
        int64_t values[] = {r.period,    c.started,      c.ended,     c.visitors,
                            c.passersby, c.new_visitors, c.returning, c.dwell[0],
                            c.dwell[1],  c.dwell[2],     c.dwell[3],  c.dwell_seconds};
        for (int k = 0; k < 12; ++k)
            sqlite3_bind_int64(s, 3 + k, values[k]);
        ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
    }
    for (size_t i = 0; ok && i < stations.size(); ++i) {
        bind_text(station.get(), 1, stations[i].key);
        sqlite3_bind_int64(station.get(), 2, stations[i].last_day);
        sqlite3_bind_int64(station.get(), 3, stations[i].earlier_day);
        ok = sqlite3_step(station.get()) == SQLITE_DONE;
        sqlite3_reset(station.get());
    }
    return finish(ok, error);
}

int64_t HistoryStore::prune_visits(int64_t oldest_kept) {
    // A period is kept while any of it lies within the retention period.
    static const char* const kDeletes[] = {
        "DELETE FROM visit_hour WHERE hour + 3600 <= ?1",
        "DELETE FROM visit_day WHERE day + 86400 <= ?1",
        "DELETE FROM visit_station WHERE (last_day + 1) * 86400 <= ?1",
    };
    return delete_older(kDeletes, sizeof kDeletes / sizeof *kDeletes, oldest_kept);
}

std::vector<VisitRow> HistoryStore::visits(bool by_day, const std::optional<std::string>& site,
                                           const std::string& ap, int64_t from, int64_t to) {
    std::vector<VisitRow> rows;
    std::string ignored;
    follow_path(ignored);
    if (!db_)
        return rows;
    const char* sql = by_day ? "SELECT day," VISIT_SUMS " FROM visit_day WHERE day" VISIT_WHERE
                               " GROUP BY day ORDER BY day"
                             : "SELECT hour," VISIT_SUMS " FROM visit_hour WHERE hour" VISIT_WHERE
                               " GROUP BY hour ORDER BY hour";
    Statement s(db_, sql);
    if (!s)
        return rows;
    sqlite3_bind_int64(s.get(), 1, from);
    sqlite3_bind_int64(s.get(), 2, to);
    if (site)
        bind_text(s.get(), 3, *site);
    bind_text(s.get(), 4, ap);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        VisitRow r;
        r.site = site.value_or("");
        r.ap = ap;
        r.day = by_day;
        r.period = sqlite3_column_int64(s.get(), 0);
        int64_t* counts[] = {&r.counts.started,   &r.counts.ended,        &r.counts.visitors,
                             &r.counts.passersby, &r.counts.new_visitors, &r.counts.returning,
                             &r.counts.dwell[0],  &r.counts.dwell[1],     &r.counts.dwell[2],
                             &r.counts.dwell[3],  &r.counts.dwell_seconds};
        for (int k = 0; k < 11; ++k)
            *counts[k] = sqlite3_column_int64(s.get(), 1 + k);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<VisitDays> HistoryStore::visit_days(int64_t since_day, size_t limit) {
    std::vector<VisitDays> days;
    if (!db_)
        return days;
    Statement s(db_,
                "SELECT key, last_day, earlier_day FROM visit_station WHERE last_day >= ?1"
                " ORDER BY last_day DESC LIMIT ?2");
    if (!s)
        return days;
    sqlite3_bind_int64(s.get(), 1, since_day);
    sqlite3_bind_int64(s.get(), 2, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        days.push_back({column_text(s.get(), 0), sqlite3_column_int64(s.get(), 1),
                        sqlite3_column_int64(s.get(), 2)});
    }
    return days;
}

std::vector<HistoryPoint> HistoryStore::series(const std::string& ap, int64_t from, int64_t to) {
    std::vector<HistoryPoint> points;
    std::string ignored;
    follow_path(ignored);
    if (!db_)
        return points;
    const char* sql =
        ap.empty() ? "SELECT minute, st_min, st_max, st_sum * 1.0 / samples, crowd_min, crowd_max,"
                     " crowd_sum * 1.0 / crowd_n FROM site_minute WHERE minute BETWEEN ?2 AND ?3"
                     " ORDER BY minute"
                   : "SELECT minute, st_min, st_max, st_sum * 1.0 / samples, crowd_min, crowd_max,"
                     " crowd_sum * 1.0 / crowd_n FROM ap_minute WHERE ap = ?1 AND minute BETWEEN ?2"
                     " AND ?3 ORDER BY minute";
    Statement s(db_, sql);
    if (!s)
        return points;
    if (!ap.empty())
        bind_text(s.get(), 1, ap);
    sqlite3_bind_int64(s.get(), 2, from);
    sqlite3_bind_int64(s.get(), 3, to);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        HistoryPoint p;
        p.minute = sqlite3_column_int64(s.get(), 0);
        p.stations_min = sqlite3_column_double(s.get(), 1);
        p.stations_max = sqlite3_column_double(s.get(), 2);
        p.stations_mean = sqlite3_column_double(s.get(), 3);
        p.crowd_min = column_optional(s.get(), 4);
        p.crowd_max = column_optional(s.get(), 5);
        p.crowd_mean = column_optional(s.get(), 6);
        points.push_back(p);
    }
    return points;
}

std::optional<StationHistory> HistoryStore::station(const std::string& address, int64_t from,
                                                    int64_t to) {
    std::string ignored;
    follow_path(ignored);
    if (!db_)
        return std::nullopt;
    Statement seen(db_, "SELECT first_seen, last_seen FROM station_seen WHERE address = ?1");
    if (!seen)
        return std::nullopt;
    bind_text(seen.get(), 1, address);
    if (sqlite3_step(seen.get()) != SQLITE_ROW)
        return std::nullopt;
    StationHistory h;
    h.first_seen = sqlite3_column_int64(seen.get(), 0);
    h.last_seen = sqlite3_column_int64(seen.get(), 1);
    Statement hours(db_,
                    "SELECT hour, ap, rssi FROM station_hour WHERE address = ?1 AND hour"
                    " BETWEEN ?2 AND ?3 ORDER BY hour");
    if (!hours)
        return h;
    bind_text(hours.get(), 1, address);
    sqlite3_bind_int64(hours.get(), 2, from);
    sqlite3_bind_int64(hours.get(), 3, to);
    while (sqlite3_step(hours.get()) == SQLITE_ROW) {
        h.hours.push_back({sqlite3_column_int64(hours.get(), 0), column_text(hours.get(), 1),
                           sqlite3_column_int(hours.get(), 2)});
    }
    return h;
}

int64_t HistoryStore::size_bytes() {
    Statement s(db_, "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size");
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return -1;
    return sqlite3_column_int64(s.get(), 0);
}

}  // namespace fleet_page
