#include "history_recorder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>

namespace fleet_page {

namespace {
constexpr int64_t kPruneEverySeconds = 60;

int64_t floor_to(int64_t t, int64_t step) {
    return t - ((t % step) + step) % step;
}
}  // namespace

std::vector<std::pair<std::string, int64_t>> summary_counters(const RecorderStats& stats) {
    return {{"rows_written", static_cast<int64_t>(stats.rows_written)},
            {"write_errors", static_cast<int64_t>(stats.flush_errors)},
            {"rows_refused", static_cast<int64_t>(stats.rows_refused)},
            {"rows_lost", static_cast<int64_t>(stats.rows_lost)},
            {"samples_dropped", static_cast<int64_t>(stats.samples_dropped)}};
}

HistoryRecorder::HistoryRecorder(std::unique_ptr<HistoryStore> store, RecorderSettings settings,
                                 std::string path)
    : store_(std::move(store)), settings_(settings), path_(std::move(path)) {
    std::string error;
    if (settings_.max_db_bytes > 0 && !store_->set_size_limit(settings_.max_db_bytes, error))
        say_history("history database " + path_ + ": cannot bound its size: " + error);
    thread_ = std::thread([this] { run(); });
}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool HistoryRecorder::record(ScanSample sample) {
    size_t weight = sample.hearings.size() + 1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // pending_hearings_ never exceeds the bound: the difference cannot wrap.
        if (weight > settings_.max_pending_hearings - pending_hearings_) {
            ++stats_.samples_dropped;
            return false;
        }
        pending_hearings_ += weight;
        pending_.push_back(std::move(sample));
        ++stats_.samples_taken;
    }
    wake_.notify_one();
    return true;
}

bool HistoryRecorder::record_visits(std::vector<fleet_visits::VisitEvent> events) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events.size() > settings_.max_pending_visits - pending_visits_.size()) {
            stats_.visits_dropped += events.size();
            return false;
        }
        pending_visits_.insert(pending_visits_.end(), std::make_move_iterator(events.begin()),
                               std::make_move_iterator(events.end()));
    }
    wake_.notify_one();
    return true;
}

void HistoryRecorder::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t ticket = ++flush_requested_;
    wake_.notify_one();
    flushed_.wait(lock, [&] { return flush_done_ >= ticket; });
}

RecorderStats HistoryRecorder::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    RecorderStats stats = stats_;
    // pending_hearings_ counts each sample once besides its hearings.
    stats.backlog_samples = pending_.size();
    stats.backlog_hearings = pending_hearings_ - pending_.size();
    return stats;
}

void HistoryRecorder::fold(const ScanSample& s) {
    MinuteDelta& m = minutes_[{s.ap, floor_to(s.time, 60)}];
    if (m.samples == 0) {
        m.ap = s.ap;
        m.minute = floor_to(s.time, 60);
        m.stations_min = m.stations_max = s.stations;
    }
    ++m.samples;
    m.stations_min = std::min(m.stations_min, s.stations);
    m.stations_max = std::max(m.stations_max, s.stations);
    m.stations_sum += s.stations;
    if (s.crowd) {
        if (m.crowd_samples == 0)
            m.crowd_min = m.crowd_max = *s.crowd;
        ++m.crowd_samples;
        m.crowd_min = std::min(m.crowd_min, *s.crowd);
        m.crowd_max = std::max(m.crowd_max, *s.crowd);
        m.crowd_sum += *s.crowd;
    }
    for (const Hearing& h : s.hearings) {
        StationKey key{h.address, floor_to(h.last_seen, 3600)};
        auto it = stations_.find(key);
        if (it == stations_.end()) {
            StationDelta d{h.address, key.hour, s.ap, h.rssi, h.last_seen, h.last_seen};
            stations_.emplace(std::move(key), std::move(d));
            continue;
        }
        StationDelta& d = it->second;
        d.first_seen = std::min(d.first_seen, h.last_seen);
        d.last_seen = std::max(d.last_seen, h.last_seen);
        if (h.rssi > d.rssi) {
            d.rssi = h.rssi;
            d.ap = s.ap;
        }
    }
}

void HistoryRecorder::fold_visit(const fleet_visits::VisitEvent& e) {
    for (bool day : {false, true}) {
        int64_t period = floor_to(e.time, day ? 86400 : 3600);
        VisitRow& row = visit_rows_[std::make_tuple(e.site, e.ap, period, day)];
        row.site = e.site;
        row.ap = e.ap;
        row.period = period;
        row.day = day;
        VisitCounts& c = row.counts;
        if (!e.ended) {
            ++c.started;
            continue;
        }
        ++c.ended;
        ++(e.visitor ? c.visitors : c.passersby);
        if (e.visitor)
            ++(e.returning ? c.returning : c.new_visitors);
        ++c.dwell[static_cast<int>(fleet_visits::dwell_bucket(e.dwell))];
        c.dwell_seconds += e.dwell;
    }
    if (e.ended && !e.key.empty())
        visit_days_[e.key] = VisitDays{e.key, e.last_day, e.earlier_day};
}

// Visit rows go in their own transaction after the history's. A failed write keeps them folded
// (the next visits merge into them) for max_retries flushes, then gives them up.
void HistoryRecorder::write_visits(uint64_t& written, uint64_t& refused, uint64_t& lost) {
    size_t rows = visit_rows_.size() + visit_days_.size();
    if (rows == 0)
        return;
    if (full_) {
        refused += rows;
    } else {
        std::vector<VisitRow> counts;
        counts.reserve(visit_rows_.size());
        for (auto& entry : visit_rows_)
            counts.push_back(entry.second);
        std::vector<VisitDays> days;
        days.reserve(visit_days_.size());
        for (auto& entry : visit_days_)
            days.push_back(entry.second);
        std::string error;
        if (!store_->write_visits(counts, days, error)) {
            if (error != said_error_) {
                say_history("cannot write visits to " + path_ + ": " + error);
                said_error_ = error;
            }
            if (++visit_failures_ <= settings_.max_retries)
                return;
            lost += rows;
        } else {
            written += rows;
        }
    }
    visit_failures_ = 0;
    visit_rows_.clear();
    visit_days_.clear();
}

void HistoryRecorder::write_out(int64_t now) {
    std::vector<MinuteDelta> minutes;
    minutes.reserve(minutes_.size());
    for (auto& entry : minutes_)
        minutes.push_back(std::move(entry.second));
    std::vector<StationDelta> stations;
    stations.reserve(stations_.size());
    for (auto& entry : stations_)
        stations.push_back(std::move(entry.second));
    minutes_.clear();
    stations_.clear();
    // The rows of failed writes go first: the upserts merge in order, so nothing counts twice.
    if (!retry_minutes_.empty() || !retry_stations_.empty()) {
        minutes.insert(minutes.begin(), std::make_move_iterator(retry_minutes_.begin()),
                       std::make_move_iterator(retry_minutes_.end()));
        stations.insert(stations.begin(), std::make_move_iterator(retry_stations_.begin()),
                        std::make_move_iterator(retry_stations_.end()));
        retry_minutes_.clear();
        retry_stations_.clear();
    }
    size_t rows = minutes.size() + stations.size();
    std::string error;
    uint64_t refused = 0, lost = 0;
    bool ok = write_rows(minutes, stations, error, refused);
    if (ok && failed_writes_ > 0) {
        say_history("history written to " + path_ + " again, after " +
                    std::to_string(failed_writes_) + " failed writes");
    }
    if (ok) {
        failed_writes_ = 0;
        retries_ = 0;
        said_error_.clear();
    } else {
        after_failure(minutes, stations, error, lost);
    }
    uint64_t visit_rows = 0, visits_refused = 0;
    write_visits(visit_rows, visits_refused, lost);
    if (now - last_prune_ >= kPruneEverySeconds) {
        store_->prune(now - settings_.retention_seconds);
        if (settings_.visit_retention_seconds > 0)
            store_->prune_visits(now - settings_.visit_retention_seconds);
        last_prune_ = now;
        // Hours well past are no longer counted: the map holds the hours scans now fall in.
        for (auto it = hours_added_.begin(); it != hours_added_.end();)
            it = it->first.second + 3 * 3600 < now ? hours_added_.erase(it) : std::next(it);
        for (auto it = hours_counted_.begin(); it != hours_counted_.end();)
            it = *it + 3 * 3600 < now ? hours_counted_.erase(it) : std::next(it);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.flushes;
    stats_.rows_refused += refused;
    stats_.rows_lost += lost;
    stats_.rows_written += visit_rows;
    stats_.rows_refused += visits_refused;
    if (ok) {
        stats_.rows_written += rows - refused;
    } else {
        ++stats_.flush_errors;
        stats_.last_error = error;
    }
}

bool HistoryRecorder::write_rows(std::vector<MinuteDelta>& minutes,
                                 std::vector<StationDelta>& stations, std::string& error,
                                 uint64_t& refused) {
    if (store_->follow_path(error)) {
        say_history("history database " + path_ +
                    " was deleted or replaced while open: writing to a fresh one there");
    } else if (!error.empty()) {
        return false;
    }
    if (minutes.empty() && stations.empty())
        return true;
    int64_t used = settings_.max_db_bytes > 0 ? store_->used_bytes() : 0;
    if (used >= settings_.max_db_bytes && settings_.max_db_bytes > 0) {
        if (!full_) {
            say_history("history database " + path_ + " holds its bound of " +
                        std::to_string(settings_.max_db_bytes >> 20) +
                        " MiB: new history refused (and counted) until retention frees room");
            full_ = true;
        }
        refused += minutes.size() + stations.size();
        return true;
    }
    if (full_) {
        say_history("history database " + path_ + " has room again");
        full_ = false;
    }
    // What the database holds of an hour first seen since the collector started.
    for (const StationDelta& d : stations) {
        if (hours_counted_.count(d.hour) != 0)
            continue;
        std::map<std::string, uint64_t> held;
        std::string why;
        if (!store_->station_hours_by_ap(d.hour, held, why))
            break;  // counted from zero until a later write can say
        for (const auto& [ap, n] : held) {
            uint64_t& count = hours_added_[{ap, d.hour}];
            count = std::max(count, n);
        }
        hours_counted_.insert(d.hour);
    }
    // Counted as the rows go in; put back if the write does not commit.
    auto added = hours_added_;
    uint64_t cap = settings_.max_station_hours_per_ap;
    auto may_add = [&](const StationDelta& d) {
        uint64_t& n = hours_added_[{d.ap, d.hour}];
        if (n < cap) {
            ++n;
            return true;
        }
        if (n == cap) {
            ++n;  // said once per access point and hour
            say_history("access point " + d.ap + " added " + std::to_string(cap) +
                        " stations to the history in the hour from " + std::to_string(d.hour) +
                        ": more refused (and counted) until the hour ends");
        }
        return false;
    };
    if (store_->write(minutes, stations, error, may_add, &refused))
        return true;
    hours_added_ = std::move(added);
    refused = 0;
    return false;
}

void HistoryRecorder::after_failure(std::vector<MinuteDelta>& minutes,
                                    std::vector<StationDelta>& stations, const std::string& error,
                                    uint64_t& lost) {
    ++failed_writes_;
    if (error != said_error_) {
        say_history("cannot write the history to " + path_ + ": " + error +
                    " (its rows are tried again with the next " +
                    std::to_string(settings_.max_retries) + " writes)");
        said_error_ = error;
    }
    size_t rows = minutes.size() + stations.size();
    if (++retries_ > settings_.max_retries || rows > settings_.max_retry_rows) {
        lost = rows;
        retries_ = 0;
        say_history("gave up " + std::to_string(rows) + " rows of history after " +
                    std::to_string(failed_writes_) + " failed writes to " + path_);
        return;
    }
    retry_minutes_ = std::move(minutes);
    retry_stations_ = std::move(stations);
}

void HistoryRecorder::run() {
    using Clock = std::chrono::steady_clock;
    auto next_flush = Clock::now() + std::chrono::milliseconds(settings_.flush_interval_ms);
    std::vector<ScanSample> taken;
    std::vector<fleet_visits::VisitEvent> visits;
    for (;;) {
        bool stop;
        uint64_t ticket;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, next_flush, [&] {
                return stopping_ || flush_requested_ > flush_done_ || !pending_.empty() ||
                       !pending_visits_.empty();
            });
            taken.swap(pending_);
            visits.swap(pending_visits_);
            pending_hearings_ = 0;
            stop = stopping_;
            ticket = flush_requested_;
        }
        for (const ScanSample& s : taken)
            fold(s);
        taken.clear();
        for (const fleet_visits::VisitEvent& e : visits)
            fold_visit(e);
        visits.clear();
        bool due = Clock::now() >= next_flush;
        if (due || stop || ticket > flush_done_) {
            write_out(static_cast<int64_t>(std::time(nullptr)));
            next_flush = Clock::now() + std::chrono::milliseconds(settings_.flush_interval_ms);
            std::lock_guard<std::mutex> lock(mutex_);
            flush_done_ = ticket;
            flushed_.notify_all();
        }
        if (stop)
            return;
    }
}

}  // namespace fleet_page
