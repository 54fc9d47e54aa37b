#include "fleet_page_history.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "fleet_page_fixture.h"

namespace page_bench {

int bench_history(const std::string& dir) {
    Fleet f;
    build(f);
    // A minute of scans (six rounds) of every access point.
    std::vector<fleet_page::ScanSample> minute;
    for (int round = 0; round < 6; ++round) {
        for (fleet_page::ScanSample s : f.samples) {
            s.time += round * 10;
            for (auto& h : s.hearings)
                h.last_seen += round * 10;
            minute.push_back(std::move(s));
        }
    }
    size_t hearings = 0;
    for (const auto& s : minute)
        hearings += s.hearings.size();

    std::string error;
    fleet_page::RecorderSettings settings;
    settings.flush_interval_ms = 1000;
    settings.retention_seconds = int64_t(1) << 40;
    auto store = fleet_page::HistoryStore::open(dir + "/history.db", false, error);
    std::vector<double> hand, plain_hand;
    auto t = Clock::now();
    {
        fleet_page::HistoryRecorder recorder(std::move(store), settings);
        for (auto& s : minute) {
            auto h = Clock::now();
            recorder.record(s);
            hand.push_back(seconds_since(h));
        }
        recorder.flush();
    }
    double recorded = seconds_since(t);

    // The same hand-over into a plain vector under a lock: the floor of any hand-over.
    std::mutex mutex;
    std::vector<fleet_page::ScanSample> plain;
    for (auto& s : minute) {
        auto h = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            plain.push_back(s);
        }
        plain_hand.push_back(seconds_since(h));
    }

    // The same rows into SQLite, one INSERT each in one transaction.
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/plain.db").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE hearing(ap TEXT, address TEXT, rssi INTEGER, seen INTEGER)",
                 nullptr, nullptr, nullptr);
    t = Clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO hearing VALUES(?1,?2,?3,?4)", -1, &insert, nullptr);
    for (const auto& s : minute) {
        for (const auto& h : s.hearings) {
            sqlite3_bind_text(insert, 1, s.ap.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 2, h.address.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 3, h.rssi);
            sqlite3_bind_int64(insert, 4, h.last_seen);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    double inserted = seconds_since(t);
    sqlite3_close(db);

    // The 99th percentile and the longest of the intake's hand-overs.
    auto percentile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))] * 1e6;
    };
    double longest_hand = percentile(hand, 1), longest_plain = percentile(plain_hand, 1);
    std::printf(
        "history: %zu hearings in %zu scans; recorder %.2f s, plain inserts %.2f s; "
        "hand-over p99 %.1f us, longest %.1f us (plain vector p99 %.1f us, longest %.1f us)\n",
        hearings, minute.size(), recorded, inserted, percentile(hand, 0.99), longest_hand,
        percentile(plain_hand, 0.99), longest_plain);
    std::printf("result page_handover_p99_us %.1f\nresult page_handover_plain_p99_us %.1f\n",
                percentile(hand, 0.99), percentile(plain_hand, 0.99));
    std::printf("result page_history_rate %.0f\nresult page_history_plain_rate %.0f\n",
                hearings / recorded, hearings / inserted);
    std::printf("result page_handover_max_us %.1f\nresult page_handover_plain_max_us %.1f\n",
                longest_hand, longest_plain);
    return 0;
}

int bench_size(const std::string& dir) {
    // A day of ten access points: a row per minute each, 100 stations of their own an hour.
    const int aps = 10;
    std::string error;
    auto store = fleet_page::HistoryStore::open(dir + "/day.db", false, error);
    size_t csv = 0;
    std::vector<fleet_page::MinuteDelta> minutes;
    std::vector<fleet_page::StationDelta> stations;
    for (int k = 0; k < aps; ++k) {
        std::string ap = "ap-" + std::to_string(k);
        for (int m = 0; m < 1440; ++m) {
            fleet_page::MinuteDelta d;
            d.ap = ap;
            d.minute = kNow - kNow % 86400 + m * 60;
            d.samples = 6;
            d.stations_min = 80, d.stations_max = 100, d.stations_sum = 540;
            d.crowd_samples = 6, d.crowd_min = 5, d.crowd_max = 9, d.crowd_sum = 42;
            csv += (ap + "," + std::to_string(d.minute) + ",6,80,100,540,6,5,9,42\n").size();
            minutes.push_back(d);
        }
        for (int h = 0; h < 24; ++h) {
            for (int i = 0; i < kStations; ++i) {
                fleet_page::StationDelta s;
                s.address = address_of(k * 1000 + h * 100 + i);
                s.hour = kNow - kNow % 86400 + h * 3600;
                s.ap = ap;
                s.rssi = -50;
                s.first_seen = s.hour + 60, s.last_seen = s.hour + 3000;
                csv += (s.address + "," + std::to_string(s.hour) + "," + ap + ",-50," +
                        std::to_string(s.first_seen) + "," + std::to_string(s.last_seen) + "\n")
                           .size();
                stations.push_back(s);
            }
        }
    }
    store->write(minutes, stations, error);
    std::string ignored;
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/day.db").c_str(), &db);
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_close(db);
    int64_t bytes = store->size_bytes();
    std::printf("size: %lld bytes for %d access points x 1 day; CSV %zu bytes\n",
                static_cast<long long>(bytes), aps, csv);
    std::printf("result page_db_bytes_per_ap_day %lld\nresult page_csv_bytes_per_ap_day %zu\n",
                static_cast<long long>(bytes / aps), csv / aps);
    return 0;
}

}  // namespace page_bench
