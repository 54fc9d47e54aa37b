#include "history_recorder.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace fleet_page {

namespace {
constexpr int64_t kPruneEverySeconds = 60;

int64_t floor_to(int64_t t, int64_t step) {
    return t - ((t % step) + step) % step;
}
}  // namespace

HistoryRecorder::HistoryRecorder(std::unique_ptr<HistoryStore> store, RecorderSettings settings)
    : store_(std::move(store)), settings_(settings) {
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

void HistoryRecorder::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t ticket = ++flush_requested_;
    wake_.notify_one();
    flushed_.wait(lock, [&] { return flush_done_ >= ticket; });
}

RecorderStats HistoryRecorder::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
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

    std::string error;
    bool ok = minutes.empty() && stations.empty() ? true : store_->write(minutes, stations, error);
    if (now - last_prune_ >= kPruneEverySeconds) {
        store_->prune(now - settings_.retention_seconds);
        last_prune_ = now;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.flushes;
    if (ok) {
        stats_.rows_written += minutes.size() + stations.size();
    } else {
        ++stats_.flush_errors;
        stats_.last_error = error;
    }
}

void HistoryRecorder::run() {
    using Clock = std::chrono::steady_clock;
    auto next_flush = Clock::now() + std::chrono::milliseconds(settings_.flush_interval_ms);
    std::vector<ScanSample> taken;
    for (;;) {
        bool stop;
        uint64_t ticket;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, next_flush, [&] {
                return stopping_ || flush_requested_ > flush_done_ || !pending_.empty();
            });
            taken.swap(pending_);
            pending_hearings_ = 0;
            stop = stopping_;
            ticket = flush_requested_;
        }
        for (const ScanSample& s : taken)
            fold(s);
        taken.clear();
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
