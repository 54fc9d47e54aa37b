// The fleet's web page under 1,000 access points x 100 stations, each figure beside a baseline
// measured in the same run. Prints "result KEY VALUE" lines for scripts/bench.
//
//   view     /api/view fetched over loopback (time, bytes) beside the collector's own writer
//            of the same document (--once --json) and the scan documents that carried it;
//            the loop thread's copy of the view for the page beside that writer
//   history  hearings per second through the recorder into SQLite beside a plain SQLite
//            insert loop of the same rows in one transaction; the longest time the intake
//            spent handing a scan to the recorder while it wrote, beside the same hand-over
//            into a plain vector
//   size     database bytes per access point per day (a day of minutes, 100 stations an hour)
//            beside the same rows as CSV text
//   --serve SECONDS  serves the page with the large view on 127.0.0.1:PORT (printed) for the
//            page-load benchmark, then exits
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet_page.h"
#include "fleet_web.h"

using namespace fleet;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

constexpr int kAps = 1000, kStations = 100;
constexpr int64_t kNow = 1765280000;

std::string address_of(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "02:00:00:%02x:%02x:%02x", (i >> 16) & 0xff, (i >> 8) & 0xff,
                  i & 0xff);
    return text;
}

// Access point k hears stations from k * 50 on: every station is heard by two.
std::string scan_document(int k, uint64_t seq) {
    std::string s = "{\"ap\":\"ap-" + std::to_string(k) + "\",\"seq\":" + std::to_string(seq) +
                    ",\"time\":1765280000,\"interval\":10,\"part\":1,\"parts\":1,"
                    "\"address_form\":\"plain\",\"stations\":[";
    for (int i = 0; i < kStations; ++i) {
        s += std::string(i ? "," : "") + "{\"address\":\"" + address_of(k * 50 + i) +
             "\",\"rssi\":" + std::to_string(-40 - (i + k) % 40) +
             ",\"band\":0,\"freq\":2437,\"second_mac\":\"ff:ff:ff:ff:ff:ff\",\"count\":3,"
             "\"first_seen\":1765279990,\"last_seen\":1765279999,\"first_age\":10,\"last_age\":1}";
    }
    return s +
           "],\"totals\":{\"table\":100,\"reported\":100,\"dropped\":0,\"turned_away\":0,"
           "\"kernel_lost\":0,\"queue_dropped\":0},\"crowd\":{\"randomised\":20,\"estimate\":7}}";
}

struct Fleet {
    FleetView view;
    std::vector<fleet_page::ScanSample> samples;
    size_t document_bytes = 0;
};

void build(Fleet& f) {
    f.view.add_scan_listener(
        [&](const Scan& s, int64_t t) { f.samples.push_back(sample_of(s, t)); });
    for (int k = 0; k < kAps; ++k) {
        std::string doc = scan_document(k, 1);
        f.document_bytes += doc.size();
        f.view.take_scan_payload("ap-" + std::to_string(k), doc.data(), doc.size(), kNow);
    }
}

std::string fetch(uint16_t port, const char* path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
            char buffer[1 << 16];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return answer;
}

template <typename F>
double best_of(int runs, F f) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto t = Clock::now();
        f();
        best = std::min(best, seconds_since(t));
    }
    return best;
}

bool start_page(fleet_page::FleetPage& page, const std::string& db, uint16_t port) {
    fleet_page::PageSettings settings;
    settings.http.port = port;
    settings.db_path = db;
    std::string error;
    if (!page.start(settings, error)) {
        std::fprintf(stderr, "fleet_page_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

int bench_view(const std::string& dir) {
    Fleet f;
    build(f);
    fleet_page::FleetPage page;
    if (!start_page(page, dir + "/view.db", 0))
        return 1;
    double copy = best_of(5, [&] {
        page.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(f.view, kNow)));
    });
    std::string own;
    double writer = best_of(5, [&] { own = view_document(f.view, kNow); });
    std::string answer;
    double served = best_of(5, [&] { answer = fetch(page.port(), "/api/view"); });
    size_t body = answer.size() - answer.find("\r\n\r\n") - 4;
    if (answer.compare(answer.size() - body, body, own + "\n") != 0) {
        std::fprintf(stderr, "fleet_page_bench: /api/view differs from the collector's writer\n");
        return 1;
    }
    std::printf("view: %zu stations; /api/view %.1f ms, %zu bytes; writer %.1f ms; copy %.1f ms\n",
                f.view.stations().size(), served * 1e3, body, writer * 1e3, copy * 1e3);
    std::printf("result page_view_ms %.1f\nresult page_view_writer_ms %.1f\n", served * 1e3,
                writer * 1e3);
    std::printf("result page_view_bytes %zu\nresult page_view_docs_bytes %zu\n", body,
                f.document_bytes);
    std::printf("result page_copy_ms %.1f\n", copy * 1e3);
    return 0;
}

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

int serve(const std::string& dir, int seconds, uint16_t port) {
    Fleet f;
    build(f);
    fleet_page::FleetPage page;
    if (!start_page(page, dir + "/serve.db", port))
        return 1;
    page.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(f.view, kNow)));
    std::printf("serving on port %u\n", static_cast<unsigned>(page.port()));
    std::fflush(stdout);
    // Until the time is up or SIGTERM/SIGINT comes, so that the scratch directory goes either way.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    timespec limit{seconds, 0};
    sigtimedwait(&stop, nullptr, &limit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked in every thread (the page's threads start later); serve() waits for them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    char pattern[] = "/tmp/fleet-page-bench.XXXXXX";
    std::string dir = mkdtemp(pattern);
    int status = 0;
    if (argc == 4 && std::string(argv[1]) == "--serve") {
        status = serve(dir, std::atoi(argv[2]), static_cast<uint16_t>(std::atoi(argv[3])));
    } else {
        status = bench_view(dir) | bench_history(dir) | bench_size(dir);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
