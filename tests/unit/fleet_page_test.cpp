// The fleet's web page: the history store (merging, ranges, restart, retention) and its recorder,
// the maker names, the view document and station pages, and the HTTP interface (routes, methods,
// token, limits, live feed) over a real loopback socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "capture.h"
#include "event_feed.h"
#include "fleet_page.h"
#include "history_recorder.h"
#include "history_store.h"
#include "host_names.h"
#include "maker_lookup.h"
#include "view_snapshot.h"
#ifdef FLEET_PAGE_WITH_COLLECTOR
#include "fleet_web.h"
#endif

using namespace fleet_page;

namespace {

std::string data_file(const char* name) {
    return std::string(FLEET_PAGE_DATA_DIR "/") + name;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/fleet_page_test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::unique_ptr<HistoryStore> open_store(const std::string& path) {
    std::string error;
    auto store = HistoryStore::open(path, false, error);
    EXPECT_TRUE(store) << error;
    return store;
}

MinuteDelta minute(const std::string& ap, int64_t t, int64_t st, std::optional<int64_t> crowd) {
    MinuteDelta m;
    m.ap = ap;
    m.minute = t;
    m.samples = 1;
    m.stations_min = m.stations_max = m.stations_sum = st;
    if (crowd) {
        m.crowd_samples = 1;
        m.crowd_min = m.crowd_max = m.crowd_sum = *crowd;
    }
    return m;
}

TEST(FleetHistoryStore, MergesMinutesAndKeepsRangesApart) {
    TempDir dir;
    auto store = open_store(dir.file("h.db"));
    std::string error;
    // Two writes into one minute merge; a crowd-less sample leaves the crowd columns alone.
    ASSERT_TRUE(store->write({minute("ap-1", 600, 4, 2), minute("ap-1", 660, 9, std::nullopt),
                              minute("ap-2", 600, 1, std::nullopt), minute("", 600, 5, 2)},
                             {}, error))
        << error;
    ASSERT_TRUE(
        store->write({minute("ap-1", 600, 8, std::nullopt), minute("ap-1", 600, 6, 4)}, {}, error));
    auto ap1 = store->series("ap-1", 600, 660);
    ASSERT_EQ(ap1.size(), 2u);
    EXPECT_EQ(ap1[0].minute, 600);
    EXPECT_DOUBLE_EQ(ap1[0].stations_min, 4);
    EXPECT_DOUBLE_EQ(ap1[0].stations_max, 8);
    EXPECT_DOUBLE_EQ(ap1[0].stations_mean, 6);
    EXPECT_EQ(ap1[0].crowd_min, 2.0);
    EXPECT_EQ(ap1[0].crowd_max, 4.0);
    EXPECT_EQ(ap1[0].crowd_mean, 3.0);
    EXPECT_FALSE(ap1[1].crowd_mean.has_value());
    // Ranges are inclusive and per subject; the site is not an access point.
    EXPECT_EQ(store->series("ap-1", 601, 660).size(), 1u);
    EXPECT_EQ(store->series("ap-1", 0, 599).size(), 0u);
    EXPECT_EQ(store->series("ap-2", 0, 10000).size(), 1u);
    ASSERT_EQ(store->series("", 0, 10000).size(), 1u);
    EXPECT_DOUBLE_EQ(store->series("", 0, 10000)[0].stations_mean, 5);
}

TEST(FleetHistoryStore, KeepsHistoryAcrossRestartAndPrunesByAge) {
    TempDir dir;
    std::string error;
    {
        auto store = open_store(dir.file("h.db"));
        ASSERT_TRUE(
            store->write({minute("ap-1", 60, 1, std::nullopt),
                          minute("ap-1", 7200, 2, std::nullopt), minute("", 60, 3, std::nullopt)},
                         {{"00:1a:2b:3c:4d:5e", 0, "ap-1", -70, 50, 100},
                          {"00:1a:2b:3c:4d:5e", 0, "ap-2", -40, 30, 40},
                          {"00:1a:2b:3c:4d:5e", 7200, "ap-1", -60, 7300, 7400},
                          {"0123456789abcdef", 0, "ap-2", -50, 10, 20}},
                         error))
            << error;
        // A weaker hearing later in the same hour does not take the strongest place.
        ASSERT_TRUE(store->write({}, {{"00:1a:2b:3c:4d:5e", 0, "ap-3", -80, 60, 200}}, error));
    }
    auto store = open_store(dir.file("h.db"));
    auto st = store->station("00:1a:2b:3c:4d:5e", 0, 100000);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->first_seen, 30);
    EXPECT_EQ(st->last_seen, 7400);
    ASSERT_EQ(st->hours.size(), 2u);
    EXPECT_EQ(st->hours[0].ap, "ap-2");
    EXPECT_EQ(st->hours[0].rssi, -40);
    EXPECT_EQ(st->hours[1].hour, 7200);
    EXPECT_EQ(store->station("00:1a:2b:3c:4d:5e", 3600, 100000)->hours.size(), 1u);
    EXPECT_EQ(store->series("ap-1", 0, 100000).size(), 2u);

    // Keep from 3600 on: the first minutes, the first hour and the station last seen at 20 go.
    EXPECT_EQ(store->prune(3600), 5);
    EXPECT_EQ(store->series("ap-1", 0, 100000).size(), 1u);
    EXPECT_EQ(store->series("", 0, 100000).size(), 0u);
    EXPECT_FALSE(store->station("0123456789abcdef", 0, 100000));
    EXPECT_EQ(store->station("00:1a:2b:3c:4d:5e", 0, 100000)->hours.size(), 1u);
    EXPECT_GT(store->size_bytes(), 0);

    std::string read_error;
    EXPECT_FALSE(HistoryStore::open(dir.file("missing/h.db"), false, read_error));
    EXPECT_FALSE(read_error.empty());
}

TEST(FleetHistoryRecorder, FoldsScansIntoMinutesAndHoursAndPrunes) {
    TempDir dir;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t m = now - now % 60;
    RecorderSettings settings;
    settings.retention_seconds = 3 * 3600;
    settings.flush_interval_ms = 60000;
    {
        HistoryRecorder recorder(open_store(dir.file("h.db")), settings);
        EXPECT_TRUE(recorder.record({"ap-1", m, 3, 5, {{"aa:00:00:00:00:01", -70, m}}}));
        EXPECT_TRUE(recorder.record({"ap-1", m + 10, 5, std::nullopt, {}}));
        EXPECT_TRUE(recorder.record(
            {"ap-2", m + 20, 1, std::nullopt, {{"aa:00:00:00:00:01", -50, m + 20}}}));
        EXPECT_TRUE(recorder.record({"", m + 20, 4, 5, {}}));
        // Older than the retention period: written, then pruned in the same flush.
        EXPECT_TRUE(recorder.record({"ap-1", m - 4 * 3600, 9, std::nullopt, {}}));
        recorder.flush();
        RecorderStats stats = recorder.stats();
        EXPECT_EQ(stats.samples_taken, 5u);
        EXPECT_EQ(stats.flush_errors, 0u) << stats.last_error;
    }
    auto store = open_store(dir.file("h.db"));
    auto ap1 = store->series("ap-1", 0, now + 60);
    ASSERT_EQ(ap1.size(), 1u);
    EXPECT_DOUBLE_EQ(ap1[0].stations_min, 3);
    EXPECT_DOUBLE_EQ(ap1[0].stations_max, 5);
    EXPECT_EQ(ap1[0].crowd_mean, 5.0);
    EXPECT_EQ(store->series("", 0, now + 60).size(), 1u);
    auto st = store->station("aa:00:00:00:00:01", 0, now + 60);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->first_seen, m);
    EXPECT_EQ(st->last_seen, m + 20);
    ASSERT_EQ(st->hours.size(), 1u);
    EXPECT_EQ(st->hours[0].ap, "ap-2");

    // A full list of pending samples turns the next ones away instead of growing.
    settings.max_pending_hearings = 0;
    HistoryRecorder full(open_store(dir.file("h.db")), settings);
    EXPECT_FALSE(full.record({"ap-1", now, 1, std::nullopt, {}}));
    EXPECT_EQ(full.stats().samples_dropped, 1u);
}

// What waits for the recorder's thread is bounded in hearings, a sample counting one more than
// its hearings; the thread takes samples as they come, long before its flush interval.
TEST(FleetHistoryRecorder, BoundsWhatWaitsInHearingsAndTakesItAsItComes) {
    TempDir dir;
    RecorderSettings settings;
    settings.flush_interval_ms = 60000;
    settings.max_pending_hearings = 3;
    HistoryRecorder recorder(open_store(dir.file("h.db")), settings);
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    ScanSample three{"ap-1", now, 3, std::nullopt, {}};
    for (const char* address : {"aa:00:00:00:00:01", "aa:00:00:00:00:02", "aa:00:00:00:00:03"})
        three.hearings.push_back({address, -50, now});
    EXPECT_FALSE(recorder.record(three));
    ScanSample two = three;
    two.hearings.pop_back();
    EXPECT_TRUE(recorder.record(two));
    bool taken = false;
    auto start = std::chrono::steady_clock::now();
    while (!taken && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        taken = recorder.record(two);
        if (!taken)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(taken) << "the second sample found no room within 5 s";
    EXPECT_EQ(recorder.stats().samples_taken, 2u);
}

namespace {

// One sample of `ap` at `t` hearing `n` stations numbered from `first`.
ScanSample heard(const std::string& ap, int64_t t, int n, int first = 0) {
    ScanSample s{ap, t, n, std::nullopt, {}};
    for (int i = first; i < first + n; ++i) {
        char address[18];
        snprintf(address, sizeof address, "02:00:00:%02x:%02x:%02x", (i >> 16) & 0xff,
                 (i >> 8) & 0xff, i & 0xff);
        s.hearings.push_back({address, -60, t});
    }
    return s;
}

}  // namespace

// A flood of new stations from one access point stops at its station hours, and a database at
// its bound refuses what is new; each is said once, and the honest access point's rows stay.
TEST(FleetHistoryRecorder, BoundsStationHoursPerAccessPointAndTheDatabase) {
    TempDir dir;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t m = now - now % 3600;
    RecorderSettings settings;
    settings.flush_interval_ms = 60000;
    settings.max_station_hours_per_ap = 50000;
    ChildResult child = run_in_child([&] {
        HistoryRecorder recorder(open_store(dir.file("h.db")), settings, "h.db");
        recorder.record(heard("honest", m, 3, 0x100000));
        recorder.record(heard("flood", m, 60000));  // 60,000 new stations in one hour
        recorder.flush();
        recorder.record(heard("flood", m + 60, 60000));  // the same again: 50,000 merge
        recorder.record(heard("flood", m + 3600, 10));   // the next hour has its own count
        recorder.flush();
        RecorderStats stats = recorder.stats();
        printf("refused %llu written %llu errors %llu\n",
               static_cast<unsigned long long>(stats.rows_refused),
               static_cast<unsigned long long>(stats.rows_written),
               static_cast<unsigned long long>(stats.flush_errors));
    });
    ASSERT_TRUE(child.exited()) << child.err;
    // 10,000 new stations refused in each flush; written: 2 minutes and 50,003 station hours,
    // then 2 minutes, 50,000 merged station hours and the next hour's 10.
    EXPECT_EQ(child.out, "refused 20000 written 100017 errors 0\n");
    EXPECT_EQ(child.err,
              "vorlask-fleet: access point flood added 50000 stations to the history in the hour "
              "from " +
                  std::to_string(m) + ": more refused (and counted) until the hour ends\n");
    auto store = open_store(dir.file("h.db"));
    int64_t db_bytes = store->size_bytes();
    EXPECT_LT(db_bytes, int64_t{16} << 20) << "50,000 station hours and their addresses";
    auto honest = store->station("02:00:00:10:00:02", 0, INT64_MAX);
    ASSERT_TRUE(honest);
    EXPECT_EQ(honest->hours.at(0).ap, "honest");
    store.reset();

    // A restarted collector counts what the database already holds of the hour.
    child = run_in_child([&] {
        HistoryRecorder recorder(open_store(dir.file("h.db")), settings, "h.db");
        recorder.record(heard("flood", m + 240, 100, 200000));
        recorder.record(heard("honest", m + 240, 1, 0x100010));
        recorder.flush();
        printf("refused %llu\n", static_cast<unsigned long long>(recorder.stats().rows_refused));
    });
    ASSERT_TRUE(child.exited()) << child.err;
    EXPECT_EQ(child.out, "refused 100\n");
    EXPECT_NE(child.err.find("access point flood added 50000 stations"), std::string::npos)
        << child.err;

    // At its bound (here half of what it holds) it refuses every new row and says so once.
    settings.max_db_bytes = db_bytes / 2;
    child = run_in_child([&] {
        HistoryRecorder recorder(open_store(dir.file("h.db")), settings, "h.db");
        recorder.record(heard("honest", m + 120, 3, 0x100000));
        recorder.flush();
        recorder.record(heard("honest", m + 180, 3, 0x100000));
        recorder.flush();
        printf("refused %llu\n", static_cast<unsigned long long>(recorder.stats().rows_refused));
    });
    ASSERT_TRUE(child.exited()) << child.err;
    EXPECT_EQ(child.out, "refused 8\n");  // each flush: one minute and three station hours
    EXPECT_NE(child.err.find("h.db holds its bound of"), std::string::npos) << child.err;
    EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
}

// A database SQLite's check finds damaged is kept aside and a fresh one begun, and said; one
// deleted while open is noticed at the next write, and the reader follows it to the new file.
TEST(FleetHistoryStore, KeepsADamagedDatabaseAsideAndFollowsADeletedOne) {
    TempDir dir;
    std::string path = dir.file("h.db");
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t m = now - now % 60;
    {
        HistoryRecorder recorder(open_store(path), RecorderSettings(), path);
        for (int i = 0; i < 40; ++i)
            recorder.record(heard("ap-" + std::to_string(i), m, 100, i * 100));
    }
    {
        // 20 pages of garbage in the middle of the file.
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 * 8);
        f << std::string(20 * 4096, '\x5a');
    }
    ChildResult child = run_in_child([&] {
        std::string error;
        auto store = HistoryStore::open(path, false, error);
        printf("%s %zu\n", store ? "open" : error.c_str(),
               store ? store->series("ap-1", 0, INT64_MAX).size() : 0);
    });
    ASSERT_TRUE(child.exited()) << child.err;
    EXPECT_EQ(child.out, "open 0\n");
    EXPECT_NE(child.err.find("failed its check"), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("kept aside as " + path + ".damaged-"), std::string::npos);
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("")))
        aside += entry.path().filename().string().rfind("h.db.damaged-", 0) == 0;
    EXPECT_GE(aside, 1);

    child = run_in_child([&] {
        std::string error;
        auto reader = HistoryStore::open(path, true, error);
        HistoryRecorder recorder(open_store(path), RecorderSettings(), path);
        recorder.record(heard("honest", m, 1));
        recorder.flush();
        unlink(path.c_str());
        recorder.record(heard("honest", m + 60, 2));
        recorder.flush();
        printf("%zu %zu\n", open_store(path)->series("honest", 0, INT64_MAX).size(),
               reader ? reader->series("honest", 0, INT64_MAX).size() : 99);
    });
    ASSERT_TRUE(child.exited()) << child.err;
    EXPECT_EQ(child.out, "1 1\n");  // the minute written after the deletion, seen by both
    EXPECT_EQ(child.err, "vorlask-fleet: history database " + path +
                             " was deleted or replaced while open: writing to a fresh one there\n");
}

// The disk fills (a private tmpfs of 1 MiB): the failure is said once, its rows are tried
// again, and once there is room they are all written, the honest minutes among them.
TEST(FleetHistoryRecorder, SaysADiskFullOnceAndWritesItsRowsOnceThereIsRoom) {
    TempDir dir;
    std::string mount_point = dir.file("");
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t m = now - now % 60;
    ChildResult child = run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m") != 0) {
            printf("skip: %s\n", strerror(errno));
            return;
        }
        std::string path = mount_point + "/h.db", filler = mount_point + "/filler";
        RecorderSettings settings;
        settings.flush_interval_ms = 60000;
        HistoryRecorder recorder(open_store(path), settings, path);
        recorder.record(heard("honest", m, 1));
        recorder.flush();
        {
            std::ofstream fill(filler, std::ios::binary);
            std::string block(4096, '\0');
            while (fill.write(block.data(), block.size()))
                ;
        }
        for (int i = 1; i <= 3; ++i) {
            recorder.record(heard("honest", m + 60 * i, 1));
            recorder.record(heard("busy", m + 60 * i, 300, 300 * i));
            recorder.flush();
        }
        unlink(filler.c_str());
        recorder.record(heard("honest", m + 240, 1));
        recorder.flush();
        RecorderStats stats = recorder.stats();
        printf("errors %llu lost %llu minutes %zu\n",
               static_cast<unsigned long long>(stats.flush_errors),
               static_cast<unsigned long long>(stats.rows_lost),
               open_store(path)->series("honest", 0, INT64_MAX).size());
    });
    ASSERT_TRUE(child.exited()) << child.err;
    if (child.out.rfind("skip:", 0) == 0)
        GTEST_SKIP() << child.out;
    EXPECT_EQ(child.out, "errors 3 lost 0 minutes 5\n") << child.err;
    std::string path = mount_point + "/h.db";
    EXPECT_EQ(child.err, "vorlask-fleet: cannot write the history to " + path +
                             ": database or disk is full (its rows are tried again with the next "
                             "12 writes)\nvorlask-fleet: history written to " +
                             path + " again, after 3 failed writes\n");
}

TEST(FleetMakerLookup, NamesOnlyGloballyAdministeredAddressesByLongestAssignment) {
    MakerLookup makers;
    EXPECT_EQ(makers.load(FLEET_PAGE_DATA_DIR), 5u);  // the malformed assignment is skipped
    const struct {
        const char* address;
        const char* maker;
    } cases[] = {
        {"00:1a:2b:3c:4d:5e", "Maker One, Inc"},
        {"00:1A:2B:FF:FF:FF", "Maker One, Inc"},
        {"3c:07:54:12:34:56", "Maker Two"},
        {"3c:07:54:80:00:01", "Maker Two Medium"},  // 28-bit assignment
        {"70:b3:d5:f2:ff:01", "Small Maker"},       // 36-bit assignment
        {"70:b3:d5:f3:00:01", "IEEE Registration Authority"},
        {"02:1a:2b:3c:4d:5e", ""},  // locally administered
        {"3e:07:54:80:00:01", ""},
        {"01:1a:2b:3c:4d:5e", ""},  // group address
        {"0123456789abcdef", ""},   // hashed id
        {"00-1a-2b-3c-4d-5e", ""},
        {"00:1a:2b:3c:4d", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(makers.maker(c.address), c.maker) << c.address;
    MakerLookup none;
    EXPECT_EQ(none.load("/nonexistent"), 0u);
    EXPECT_EQ(none.maker("00:1a:2b:3c:4d:5e"), "");
}

TEST(FleetViewSnapshot, RoundTripsTheViewAndPagesStationsWithMakers) {
    const std::string doc = slurp(data_file("view.json"));
    ViewSnapshot view;
    std::string error;
    ASSERT_TRUE(parse_view(doc, view, error)) << error;
    EXPECT_EQ(render_view(view) + "\n", doc);

    for (const char* bad :
         {"", "[]", "{\"time\":1}", "{\"time\":1,\"access_points\":[{}],\"stations\":[]}",
          "{\"time\":1,\"access_points\":[],\"stations\":[{\"address\":\"a\",\"form\":\"odd\","
          "\"strongest\":\"x\",\"last_seen\":1,\"heard_by\":[]}]}",
          "{\"time\":1,\"access_points\":[],\"stations\":[]} trailing"}) {
        ViewSnapshot ignored;
        EXPECT_FALSE(parse_view(bad, ignored, error)) << bad;
    }

    MakerLookup makers;
    makers.load(FLEET_PAGE_DATA_DIR);
    // Search is a case-insensitive substring of the address; paging counts the matches.
    const struct {
        const char* query;
        size_t offset, limit;
        const char* expected;
    } cases[] = {
        {"", 0, 2, "\"total\":5,\"offset\":0,\"stations\":[{\"address\":\"00:1a:2b:3c:4d:5e\""},
        {"3C:07", 0, 10, "\"total\":1,"},
        {"", 4, 10, "\"total\":5,\"offset\":4,\"stations\":[{\"address\":\"70:b3:d5:f2:ff:01\""},
        {"abcdef", 0, 10, "\"form\":\"hashed\""},
        {"zz", 0, 10, "\"total\":0,\"offset\":0,\"stations\":[]"},
    };
    for (const auto& c : cases) {
        std::string page = render_station_page(view, c.query, c.offset, c.limit, makers);
        EXPECT_NE(page.find(c.expected), std::string::npos) << c.query << ": " << page;
    }
    std::string all = render_station_page(view, "", 0, 10, makers);
    EXPECT_NE(all.find("\"maker\":\"Maker One, Inc\""), std::string::npos);
    EXPECT_NE(all.find("\"maker\":\"Small Maker\""), std::string::npos);
    // Hashed and locally administered: no maker.
    EXPECT_NE(all.find("\"heard_by\":[{\"ap\":\"ap-1\",\"rssi\":-60,\"last_seen\":1765280000}],"
                       "\"maker\":null"),
              std::string::npos);
    EXPECT_NE(
        all.find("\"address\":\"3e:07:54:80:00:01\",\"form\":\"plain\",\"strongest\":\"ap-1\","
                 "\"last_seen\":1765280000,\"heard_by\":[],\"maker\":null"),
        std::string::npos);
}

// A TCP connection to 127.0.0.1:PORT from the loopback address FROM (another client address
// for the server), with a receive timeout; -1 when it fails.
// A receive buffer of rcvbuf bytes (0: the system's) makes a client that does not read fill up
// soon.
int connect_from(uint16_t port, const char* from = "127.0.0.1", int timeout_ms = 3000,
                 int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0 && fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in source{}, to{};
    source.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
        bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool send_text(int fd, const std::string& text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// A plain HTTP/1.0 exchange on loopback: the whole answer as text.
std::string http_exchange(uint16_t port, const std::string& request, int timeout_ms = 3000,
                          const char* from = "127.0.0.1") {
    int fd = connect_from(port, from, timeout_ms);
    std::string answer;
    if (fd >= 0 && send_text(fd, request)) {
        char buffer[65536];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    if (fd >= 0)
        close(fd);
    return answer;
}

std::string get(uint16_t port, const std::string& path, const std::string& headers = "",
                const char* method = "GET") {
    return http_exchange(port,
                         std::string(method) + " " + path + " HTTP/1.0\r\n" + headers + "\r\n");
}

// The status code and reason ("200 OK"), whatever the HTTP version of the answer.
std::string status_line(const std::string& answer) {
    std::string line = answer.substr(0, answer.find("\r\n"));
    size_t space = line.find(' ');
    return space == std::string::npos ? std::string() : line.substr(space + 1);
}

std::string body(const std::string& answer) {
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

// A stream of answers on one connection: everything received so far; each wait looks past what
// an earlier one matched.
struct Received {
    explicit Received(int socket) : fd(socket) {}
    int fd;
    std::string text;
    size_t consumed = 0;
    // What came up to and with `wanted` (empty when it did not come within 5 s).
    std::string until(const std::string& wanted) {
        char buffer[65536];
        ssize_t n;
        time_t deadline = std::time(nullptr) + 5;
        size_t from = consumed, at;
        // Each piece is searched once, with the end of the one before it.
        while ((at = text.find(wanted, from)) == std::string::npos &&
               std::time(nullptr) < deadline && (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            from = std::max(consumed, text.size() - std::min(text.size(), wanted.size()));
            text.append(buffer, static_cast<size_t>(n));
        }
        if (at == std::string::npos)
            return std::string();
        std::string got = text.substr(consumed, at + wanted.size() - consumed);
        consumed = at + wanted.size();
        return got;
    }
};

class FleetPageServer : public ::testing::Test {
  protected:
    FleetPageServer() {
        http.port = 0;
        http.max_streams = 1;
        http.keepalive_ms = 200;
    }
    void start(const std::string& token) {
        PageSettings settings;
        settings.http = http;
        settings.db_path = dir.file("h.db");
        settings.ieee_directory = FLEET_PAGE_DATA_DIR;
        settings.visits = visits;
        settings.recorder.visit_retention_seconds = visits ? 2 * 86400 : 0;
        if (!token.empty()) {
            settings.token_file = dir.file("token");
            std::ofstream(settings.token_file) << token << "\n";
        }
        std::string error;
        ASSERT_TRUE(page.start(settings, error)) << error;
        ViewSnapshot view;
        ASSERT_TRUE(parse_view(slurp(data_file("view.json")), view, error)) << error;
        page.on_view(std::make_shared<const ViewSnapshot>(view));
    }
    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(page.port()) + "\r\n"; }
    HttpSettings http;
    bool visits = false;
    TempDir dir;
    FleetPage page;
};

TEST_F(FleetPageServer, ServesReadOnlyRoutesAndRefusesTheRest) {
    start("");
    uint16_t port = page.port();
    const struct {
        const char* method;
        const char* path;
        const char* status;
        const char* in_answer;
    } cases[] = {
        {"GET", "/", "200 OK", "Content-Security-Policy: default-src 'none'"},
        {"GET", "/app.js", "200 OK", "textContent"},
        {"GET", "/icon.svg", "200 OK", "image/svg+xml"},
        {"GET", "/dygraphs/dygraph.min.js", "200 OK", "Dygraph"},
        {"HEAD", "/api/summary", "200 OK", "application/json"},
        {"GET", "/api/summary", "200 OK", "\"station_count\":5"},
        {"GET", "/api/summary", "200 OK", "\"history\":{\"rows_written\":"},
        {"GET", "/metrics", "200 OK", "Content-Type: text/plain; version=0.0.4; charset=utf-8"},
        {"HEAD", "/metrics", "200 OK", "no-store"},
        {"GET", "/metrics", "200 OK", "\nvorlask_stations 5\n"},
        {"GET", "/api/stations?q=4d:5e&limit=1", "200 OK", "\"maker\":\"Maker One, Inc\""},
        {"GET", "/api/stations?limit=501", "400 Bad Request", "limit"},
        {"GET", "/api/history?from=10&to=5", "400 Bad Request", "from"},
        {"GET", "/api/history?ap=ap-1&from=0&to=x", "400 Bad Request", "unix seconds"},
        {"GET", "/api/history?ap=ap-1", "200 OK", "\"ap\":\"ap-1\""},
        // Ranges at the ends of 64 bits: clamped to the retention period, never wrapped.
        {"GET", "/api/history?from=-9223372036854775808&to=9223372036854775807", "200 OK",
         "\"from\":9223372036854171007,"},
        {"GET", "/api/history?to=-9223372036854775808", "200 OK", "\"from\":-9223372036854775808,"},
        {"GET", "/api/station?address=x&to=-9223372036854775808", "200 OK", "\"hours\":[]"},
        {"GET", "/api/station?address=00:1a:2b:3c:4d:5e", "200 OK", "\"first_seen\":null"},
        {"GET", "/api/visits", "200 OK", "{\"enabled\":false,"},
        {"GET", "/api/nothing", "404 Not Found", "not found"},
        {"GET", "/../etc/passwd", "404 Not Found", "not found"},
        {"POST", "/api/view", "405 Method Not Allowed", "Allow: GET, HEAD"},
        {"DELETE", "/", "405 Method Not Allowed", "read only"},
        {"PUT", "/api/history", "405 Method Not Allowed", "read only"},
    };
    for (const auto& c : cases) {
        std::string answer = get(port, c.path, "", c.method);
        EXPECT_EQ(status_line(answer), c.status) << c.method << " " << c.path;
        EXPECT_NE(answer.find(c.in_answer), std::string::npos) << c.method << " " << c.path << "\n"
                                                               << answer;
    }
    // Every answer is counted by its status: the three refused methods above among them.
    EXPECT_NE(body(get(port, "/metrics")).find("vorlask_http_requests_total{code=\"405\"} 3\n"),
              std::string::npos);
    // The interface's view is the fleet view document itself.
    EXPECT_EQ(body(get(port, "/api/view")), slurp(data_file("view.json")));
    // Headers beyond the request bound are refused, not buffered.
    std::string huge = "X-Filler: " + std::string(64 * 1024, 'a') + "\r\n";
    std::string refused = status_line(get(port, "/", huge));
    EXPECT_TRUE(refused.rfind("431 ", 0) == 0 || refused.rfind("413 ", 0) == 0 || refused.empty())
        << refused;
    EXPECT_EQ(status_line(get(port, "/")), "200 OK");
}

// Visits as the recorder folds them into hours and days per site and access point, read back
// through /api/visits (every site, one site, the collector's own, one access point, by day), the
// stations' visit days kept for a restart, and the visits' own retention.
TEST_F(FleetPageServer, ServesVisitsBySiteAndAccessPointWithinTheirRetention) {
    visits = true;
    start("");
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t hour = now - now % 3600, day = now / 86400;
    auto event = [&](const char* site, const char* ap, int64_t t, int64_t dwell, int kind,
                     const char* key) {
        fleet_visits::VisitEvent e;
        e.site = site;
        e.ap = ap;
        e.time = t;
        e.ended = kind > 0;
        e.visitor = kind >= 2;
        e.returning = kind == 3;
        e.dwell = dwell;
        e.key = key;
        e.last_day = t / 86400;
        return e;
    };
    // kind 0: begun; 1: a passerby's; 2: a new visitor's; 3: a returning visitor's.
    page.on_visits({event("", "ap-1", hour + 10, 0, 0, ""),
                    event("", "ap-1", hour + 400, 390, 2, "00:1a:2b:3c:4d:5e"),
                    event("", "ap-2", hour + 500, 3600, 3, "5a00000000000002"),
                    event("shop", "ap-9", hour + 20, 100, 1, "00:1a:2b:3c:4d:5f"),
                    event("", "ap-1", now - 3 * 86400, 60, 2, "00:1a:2b:3c:4d:60")});
    page.recorder()->flush();
    // The rows' counts past the time: started, ended, visitors, passersby, new, returning,
    // dwell under 5 minutes, 5-15, 15-60, over 60; then the mean dwell.
    auto rows = [&](const std::string& query) {
        std::string answer = get(page.port(), "/api/visits?" + query);
        EXPECT_EQ(status_line(answer), "200 OK") << query;
        std::vector<std::vector<int64_t>> out;
        json_object* doc = json_tokener_parse(body(answer).c_str());
        json_object* list = nullptr;
        if (doc && json_object_object_get_ex(doc, "rows", &list)) {
            for (size_t i = 0; i < json_object_array_length(list); ++i) {
                json_object* row = json_object_array_get_idx(list, i);
                std::vector<int64_t> values;
                for (size_t k = 0; k + 1 < json_object_array_length(row); ++k)
                    values.push_back(json_object_get_int64(json_object_array_get_idx(row, k)));
                out.push_back(values);
            }
        }
        json_object_put(doc);
        return out;
    };
    using Rows = std::vector<std::vector<int64_t>>;
    EXPECT_EQ(rows("from=0"), (Rows{{hour, 1, 3, 2, 1, 1, 1, 1, 1, 0, 1}}));
    EXPECT_EQ(rows("site=shop"), (Rows{{hour, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0}}));
    EXPECT_EQ(rows("site="), (Rows{{hour, 1, 2, 2, 0, 1, 1, 0, 1, 0, 1}}));
    EXPECT_EQ(rows("ap=ap-1"), (Rows{{hour, 1, 1, 1, 0, 1, 0, 0, 1, 0, 0}}));
    EXPECT_EQ(rows("step=day&from=0"), (Rows{{day * 86400, 1, 3, 2, 1, 1, 1, 1, 1, 0, 1}}));
    EXPECT_EQ(rows("to=" + std::to_string(hour - 1)), Rows{});
    EXPECT_NE(body(get(page.port(), "/api/visits")).find("\"dwell_mean\"]"), std::string::npos);
    EXPECT_EQ(status_line(get(page.port(), "/api/visits?step=week")), "400 Bad Request");
    // Ranges saturate at the visits' retention, not the history's.
    EXPECT_NE(body(get(page.port(), "/api/visits?from=-9223372036854775808&to=9223372036854775807"))
                  .find("\"from\":9223372036854603007,"),
              std::string::npos);
    // The visit three days back was written, then pruned with its station's days.
    std::string error;
    auto store = HistoryStore::open(dir.file("h.db"), true, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->visits(false, std::nullopt, "", 0, now).size(), 1u);
    EXPECT_EQ(store->visits(true, std::nullopt, "", 0, now).size(), 1u);
    std::vector<VisitDays> days = page.visit_days(0, 10);
    ASSERT_EQ(days.size(), 3u);
    for (const VisitDays& d : days) {
        EXPECT_NE(d.key, "00:1a:2b:3c:4d:60");
        EXPECT_EQ(d.last_day, day);
    }
}

TEST_F(FleetPageServer, AsksForTheTokenAndKeepsItAsACookie) {
    start("s3cret-token");
    uint16_t port = page.port();
    const struct {
        const char* path;
        const char* headers;
        const char* status;
    } cases[] = {
        {"/api/view", "", "401 Unauthorized"},
        {"/nothing", "", "401 Unauthorized"},
        {"/api/view", "Authorization: Bearer wrong-token\r\n", "401 Unauthorized"},
        {"/api/view", "Authorization: Bearer s3cret-token\r\n", "200 OK"},
        {"/api/view", "Authorization: Bearer s3cret-token-longer\r\n", "401 Unauthorized"},
        {"/api/view", "Cookie: vorlask_token=s3cret-token\r\n", "200 OK"},
        {"/?token=wrong", "", "401 Unauthorized"},
        {"/?token=s3cret-token", "", "303 See Other"},
        {"/metrics", "", "401 Unauthorized"},
        {"/metrics", "Authorization: Bearer s3cret-token\r\n", "200 OK"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status_line(get(port, c.path, c.headers)), c.status)
            << c.path << " " << c.headers;
    std::string once = get(port, "/?token=s3cret-token");
    EXPECT_NE(
        once.find("Set-Cookie: vorlask_token=s3cret-token; Path=/; HttpOnly; SameSite=Strict"),
        std::string::npos)
        << once;
    EXPECT_NE(once.find("Location: /\r\n"), std::string::npos);
    // The rest of the query stays, encoded again; only the token leaves.
    std::string kept = get(port, "/api/stations?q=a%20b%26&token=s3cret-token&limit=5&x");
    EXPECT_NE(kept.find("Location: /api/stations?q=a%20b%26&limit=5&x\r\n"), std::string::npos)
        << kept;

    // --http's address: a port alone is loopback; numeric addresses only (no name lookup).
    const struct {
        const char* text;
        const char* address;
        uint16_t port;
    } listen[] = {
        {"8080", "127.0.0.1", 8080},
        {"0.0.0.0:80", "0.0.0.0", 80},
        {"[::1]:8443", "::1", 8443},
        {"localhost:8080", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:80x", nullptr, 0},
        {"[::1]8080", nullptr, 0},
        {"", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
    };
    for (const auto& c : listen) {
        std::string address, why;
        uint16_t port = 0;
        bool ok = parse_listen_address(c.text, address, port, why);
        EXPECT_EQ(ok, c.address != nullptr) << c.text << ": " << why;
        if (ok && c.address) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }

    TempDir other;
    std::string token, error;
    std::ofstream(other.file("short")) << "abc\n";
    std::ofstream(other.file("spaced")) << "abc def ghi\n";
    EXPECT_FALSE(read_token_file(other.file("short"), token, error));
    EXPECT_FALSE(read_token_file(other.file("spaced"), token, error));
    EXPECT_FALSE(read_token_file(other.file("missing"), token, error));
}

TEST_F(FleetPageServer, LiveFeedCarriesTheLatestViewAndIsBounded) {
    start("");
    uint16_t port = page.port();
    int fd = connect_from(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_text(fd, "GET /api/events HTTP/1.1\r\n" + host() + "\r\n"));
    Received feed{fd};
    auto read_until = [&](const std::string& text) { return feed.until(text); };
    std::string first = read_until("\r\n\r\n");
    EXPECT_NE(first.find("text/event-stream"), std::string::npos);
    // The state and each change carry the history's counters, as /api/summary does.
    const std::string history = ",\"history\":{\"rows_written\":";
    std::string state = read_until("}}\n\n");
    EXPECT_NE(state.find("event: view\ndata: {"), std::string::npos) << state;
    EXPECT_NE(state.find("\"station_count\":5" + history), std::string::npos) << state;
    // A second feed is over the bound of one.
    EXPECT_EQ(status_line(get(port, "/api/events")), "503 Service Unavailable");

    // Then only what changed: one access point changed, one new, one gone.
    ViewSnapshot changed;
    std::string error;
    ASSERT_TRUE(parse_view(slurp(data_file("view.json")), changed, error)) << error;
    changed.time = 1765280050;
    changed.access_points[0].stations = 3;
    changed.access_points[1] = changed.access_points[0];
    changed.access_points[0].id = "ap-0";
    page.on_view(std::make_shared<const ViewSnapshot>(changed));
    const std::string ap =
        ",\"online\":true,\"last_scan\":1765280001,\"seq\":17,\"stations\":3,"
        "\"crowd\":6,\"lost_documents\":0,\"clock_offset\":-1,\"clock_off\":false}";
    std::string change = read_until("}}\n\n");  // after the chunk's length
    change = change.substr(std::min(change.size(), change.find("event: ")));
    EXPECT_EQ(change.substr(0, change.find(history)),
              "event: change\ndata: {\"time\":1765280050,\"access_points\":[{\"id\":\"ap-0\"" + ap +
                  ",{\"id\":\"ap-1\"" + ap + "],\"gone\":[\"ap-<b>2</b>\"],\"station_count\":5");
    EXPECT_NE(change.find("\"samples_dropped\":0}}\n\n"), std::string::npos) << change;

    ViewSnapshot next;
    next.time = 1765280100;
    page.on_view(std::make_shared<const ViewSnapshot>(next));
    EXPECT_NE(read_until("\"station_count\":0" + history).find("\"time\":1765280100"), std::string::npos);
    EXPECT_NE(read_until(": keep-alive").find(": keep-alive"), std::string::npos);
    close(fd);
    // Stopping with a feed open neither hangs nor leaks (the sanitizer builds check the latter).
    page.stop();
}

// A stream gets the change only when it has the event just before; a new stream, or one that
// fell behind, the whole state. Past the bound of changes there is no change to send.
TEST(FleetEventFeed, SendsTheChangeToStreamsThatHaveTheEventBefore) {
    EventFeed feed;
    feed.publish("view", "s1", "change", "c1");
    feed.publish("view", "s2", "change", "c2");
    feed.publish("view", "s3", "change", "c3");
    uint64_t fresh = 0, behind = 1, caught_up = 2;
    EXPECT_EQ(*feed.next(&fresh, 0), "event: view\ndata: s3\n\n");
    EXPECT_EQ(*feed.next(&behind, 0), "event: view\ndata: s3\n\n");
    EXPECT_EQ(*feed.next(&caught_up, 0), "event: change\ndata: c3\n\n");
    feed.publish("view", "s4");
    EXPECT_EQ(*feed.next(&caught_up, 0), "event: view\ndata: s4\n\n");
    EXPECT_EQ(caught_up, 4u);
    EXPECT_EQ(*feed.next(&caught_up, 0), ": keep-alive\n\n");
    feed.close();
    EXPECT_EQ(feed.next(&caught_up, 0), nullptr);

    ViewSnapshot before, after;
    for (const char* id : {"a", "b", "c"}) {
        before.access_points.push_back(
            {id, true, 1, 1, 1, std::nullopt, std::nullopt, 0, std::nullopt, false, ""});
        after.access_points.push_back(
            {id, false, 1, 1, 1, std::nullopt, std::nullopt, 0, std::nullopt, false, ""});
    }
    EXPECT_NE(render_changes(before, after, 3), "");
    EXPECT_EQ(render_changes(before, after, 2), "");
    EXPECT_EQ(render_changes(before, before, 0),
              "{\"time\":0,\"access_points\":[],\"gone\":[],\"station_count\":0}");
}

TEST(FleetHostNames, KnowsTheListenAddressLocalhostAndTheNamesGiven) {
    HostNames own, any, v6;
    std::string error;
    ASSERT_TRUE(
        own.set("127.0.0.1", 8080, {"Fleet.Example.org", "proxy.example:8443", "[::1]:9"}, error))
        << error;
    ASSERT_TRUE(any.set("0.0.0.0", 8080, {"10.1.2.3"}, error)) << error;
    ASSERT_TRUE(v6.set("::1", 8443, {}, error)) << error;
    const struct {
        const HostNames& names;
        const char* host;
        bool allowed;
    } cases[] = {
        {own, "127.0.0.1:8080", true},
        {own, "LocalHost:8080", true},
        {own, "localhost", false},  // no port: 80
        {own, "127.0.0.1:8081", false},
        {own, "127.0.0.2:8080", false},
        {own, "attacker.example:8080", false},
        {own, "fleet.example.ORG", true},  // a name given without a port: any port
        {own, "fleet.example.org:1234", true},
        {own, "proxy.example:8443", true},
        {own, "proxy.example", false},
        {own, "[0:0::1]:9", true},  // IPv6 addresses compare as addresses
        {own, "[::1]:8080", false},
        {own, "::1:9", false},
        {own, "fleet.example.org.", false},
        {own, "127.0.0.1:8080 ", false},
        {own, "", false},
        {any, "0.0.0.0:8080", false},  // a wildcard listener: only localhost and the names
        {any, "localhost:8080", true},
        {any, "10.1.2.3", true},
        {v6, "[::1]:8443", true},
        {v6, "localhost:8443", true},
        {v6, "::1:8443", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.names.allowed(c.host), c.allowed) << c.host;
    for (const char* bad : {"a b", "[::1", "[nope]:1", "x:0", "x:65536", "x:", ":80", "a:1:2"}) {
        HostNames ignored;
        EXPECT_FALSE(ignored.set("127.0.0.1", 80, {bad}, error)) << bad;
    }
}

TEST_F(FleetPageServer, AnswersNoOtherHostNameWhateverTheToken) {
    http.host_names = {"fleet.example.org"};
    start("s3cret-token");
    uint16_t port = page.port();
    const std::string bearer = "Authorization: Bearer s3cret-token\r\n";
    const std::string rebound = "Host: attacker.example:" + std::to_string(port) + "\r\n";
    const struct {
        std::string headers;
        const char* status;
    } cases[] = {
        {host() + bearer, "200 OK"},
        {"Host: fleet.example.org\r\n" + bearer, "200 OK"},
        {rebound + bearer, "421 Misdirected Request"},
        {rebound, "421 Misdirected Request"},
        {rebound + "Cookie: vorlask_token=s3cret-token\r\n", "421 Misdirected Request"},
        {bearer, "200 OK"},  // HTTP/1.0 without Host: no browser sends that
    };
    for (const auto& c : cases) {
        EXPECT_EQ(status_line(get(port, "/api/view", c.headers)), c.status) << c.headers;
        EXPECT_EQ(status_line(get(port, "/metrics", c.headers)), c.status) << c.headers;
    }
    std::string no_host =
        http_exchange(port, "GET /api/view HTTP/1.1\r\nConnection: close\r\n" + bearer + "\r\n");
    EXPECT_EQ(status_line(no_host), "421 Misdirected Request") << no_host;
}

TEST_F(FleetPageServer, ClosesSlowHeadersAndFeedsThatStopReading) {
    http.header_deadline_ms = 600;
    http.stall_ms = 600;
    http.max_per_address = 4;  // one live feed from one address
    http.max_streams = 2;
    start("");
    uint16_t port = page.port();
    // Seconds until the server closes fd, while `dribble` is sent every 100 ms; -1 after 5 s.
    auto seconds_to_close = [](int fd, const std::string& dribble) {
        auto t0 = std::chrono::steady_clock::now();
        char buffer[65536];
        for (int i = 0; i < 50; ++i) {
            usleep(100 * 1000);
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            }
            if (n == 0 || (n < 0 && errno != EAGAIN) || !send_text(fd, dribble))
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        return -1.0;
    };
    // A header a line at a time: bytes keep coming, the deadline holds all the same.
    int slow = connect_from(port);
    ASSERT_TRUE(send_text(slow, "GET / HTTP/1.1\r\n" + host()));
    EXPECT_NEAR(seconds_to_close(slow, "X-Slow: 1\r\n"), 0.6, 0.35);
    close(slow);
    // Live feeds: "200 OK" or "503 ..." for a new one from `from` (closed again at once).
    auto feed_status = [&](const char* from) {
        int fd = connect_from(port, from);
        send_text(fd, "GET /api/events HTTP/1.1\r\n" + host() + "\r\n");
        Received r{fd};
        std::string status = status_line(r.until("\r\n"));
        close(fd);
        return status;
    };
    // An event far larger than the socket buffers, and a client that never reads it.
    ViewSnapshot big;
    big.time = 1765280100;
    for (int i = 0; i < 100000; ++i)
        big.access_points.push_back({"ap-" + std::to_string(i), true, 1, 1, 1, 1, std::nullopt, 0,
                                     std::nullopt, false, ""});
    int stuck = connect_from(port, "127.0.0.1", 3000, 4096);
    ASSERT_TRUE(send_text(stuck, "GET /api/events HTTP/1.1\r\n" + host() + "\r\n"));
    Received stuck_feed{stuck};
    EXPECT_NE(stuck_feed.until("event: view"), "");
    page.on_view(std::make_shared<const ViewSnapshot>(big));
    // Its address has its one feed; another address still gets one, and reads the event.
    EXPECT_EQ(feed_status("127.0.0.1"), "503 Service Unavailable");
    int other = connect_from(port, "127.0.0.2");
    ASSERT_TRUE(send_text(other, "GET /api/events HTTP/1.1\r\n" + host() + "\r\n"));
    Received other_feed{other};
    EXPECT_NE(other_feed.until("\"ap-99999\""), "");
    close(other);
    // The client that stopped reading is closed: its address may open a feed again.
    std::string again;
    for (int i = 0; i < 30 && again != "200 OK"; ++i) {
        usleep(100 * 1000);
        again = feed_status("127.0.0.1");
    }
    EXPECT_EQ(again, "200 OK");
    close(stuck);
}

TEST_F(FleetPageServer, RendersTheViewOncePerSnapshotWithinABound) {
    start("");
    std::shared_ptr<const std::string> first = page.view_document();
    EXPECT_EQ(page.view_document(), first);  // the same text, not a copy
    EXPECT_EQ(*first, slurp(data_file("view.json")));
    auto publish_at = [&](int64_t time) {
        ViewSnapshot view;
        view.time = time;
        page.on_view(std::make_shared<const ViewSnapshot>(view));
        return page.view_document();
    };
    // The first still being sent: two documents stand, a third would pass the bound and the
    // last one is served again until the first is let go.
    std::shared_ptr<const std::string> second = publish_at(1765280100);
    EXPECT_NE(second->find("\"time\":1765280100"), std::string::npos);
    EXPECT_EQ(publish_at(1765280200), second);
    first.reset();
    EXPECT_NE(page.view_document()->find("\"time\":1765280200"), std::string::npos);
}

// The /metrics text over a small fixed view (the page's view.json with one more access point whose
// id holds a quote and a backslash, as the client-id rule allows), against its golden file; then
// the site label, summed per site, and the bound on access points with series of their own.
TEST(FleetMetricsText, RendersTheGoldenTextAndBoundsAccessPoints) {
    ViewSnapshot view;
    std::string error;
    ASSERT_TRUE(parse_view(slurp(data_file("view.json")), view, error)) << error;
    ApState odd = view.access_points[0];
    odd.id = "ap-\"3\"\\x";
    odd.people = 2.5;
    odd.crowd = 4;
    odd.lost_documents = 2;
    view.access_points.push_back(odd);
    view.counters.emplace_back("outliers", 4);
    MetricsInput in;
    in.view = &view;
    in.history.rows_written = 120;
    in.history.flush_errors = 1;
    in.history.rows_refused = 3;
    in.history.rows_lost = 0;
    in.history.samples_dropped = 5;
    in.history.backlog_samples = 2;
    in.history.backlog_hearings = 40;
    in.http_requests = {{200, 7}, {401, 1}};
    MetricsWriter out;
    write_collector_metrics(out, in);
    // Another module's family through the same writer: escaped the same way.
    out.family("vorlask_test_extra", "Help with a \\ and a\nnewline.", MetricsWriter::Type::gauge);
    out.sample({{"site", "a\nb"}}, 1.25);
    EXPECT_EQ(out.text(), slurp(data_file("metrics.txt")));

    for (ApState& ap : view.access_points)
        ap.site = ap.id == "ap-1" ? "north" : "south \"2\"";
    view.access_points[1].online = true;
    view.access_points[1].people = 1.5;
    in.max_aps = 1;
    MetricsWriter sited;
    write_collector_metrics(sited, in);
    for (const char* line : {
             "vorlask_access_points{site=\"north\"} 1\n",
             "vorlask_access_points_online{site=\"south \\\"2\\\"\"} 2\n",
             "vorlask_site_people{site=\"south \\\"2\\\"\"} 4\n",
             "vorlask_site_devices{site=\"north\"} 6\n",
             "vorlask_metrics_access_points_omitted 2\n",
             "vorlask_ap_stations{site=\"north\",ap=\"ap-1\"} 2\n",
         })
        EXPECT_NE(sited.text().find(line), std::string::npos) << line << sited.text();
    EXPECT_EQ(sited.text().find("ap=\"ap-<b>2</b>\""), std::string::npos) << sited.text();
    in.max_aps = 0;
    MetricsWriter totals;
    write_collector_metrics(totals, in);
    EXPECT_EQ(totals.text().find("ap=\""), std::string::npos) << totals.text();
    EXPECT_NE(totals.text().find("vorlask_metrics_access_points_omitted 3\n"), std::string::npos);
}

#ifdef FLEET_PAGE_WITH_COLLECTOR
// The collector's view as the fleet view document (what /api/view and --once --json carry):
// access points in id order with nulls before a first scan or crowd estimate, hostile ids kept as
// text; and each merged scan becomes a history sample with the fleet's clock.
TEST(FleetWebAdapter, RendersTheCollectorsViewAndSamplesEachScan) {
    using fleet::FleetView;
    using fleet::Scan;
    auto scan = [](const std::string& ap, int seq, const std::string& stations, bool crowd) {
        return "{\"ap\":\"" + ap + "\",\"seq\":" + std::to_string(seq) +
               ",\"time\":1765280000,\"interval\":10,\"part\":1,\"parts\":1,\"address_form\":"
               "\"plain\",\"stations\":[" +
               stations +
               "],\"totals\":{\"table\":1,\"reported\":1,\"dropped\":0,\"turned_away\":0,"
               "\"kernel_lost\":0,\"queue_dropped\":0}" +
               (crowd ? ",\"crowd\":{\"randomised\":4,\"estimate\":2}}" : "}");
    };
    const std::string station =
        "{\"address\":\"00:1a:2b:3c:4d:5e\",\"rssi\":-52,\"band\":0,\"freq\":2437,\"second_mac\":"
        "\"ff:ff:ff:ff:ff:ff\",\"count\":7,\"first_seen\":1765279990,\"last_seen\":1765279999,"
        "\"first_age\":10,\"last_age\":3}";
    const std::string hostile = "<script>alert(1)<b>x&amp;\\\"";
    FleetView view;
    std::vector<ScanSample> samples;
    view.add_scan_listener(
        [&](const Scan& s, int64_t t) { samples.push_back(fleet::sample_of(s, t)); });
    for (const auto& [ap, text] :
         {std::make_pair(std::string("ap-1"), scan("ap-1", 1, station, true)),
          std::make_pair(std::string("<script>alert(1)<b>x&amp;\""),
                         scan(hostile, 4, "", false))}) {
        ASSERT_TRUE(view.take_scan_payload(ap, text.data(), text.size(), 1765280100)) << text;
    }
    ASSERT_TRUE(view.take_status("ap-2", "offline", 7, 1765280101));
    EXPECT_EQ(fleet::view_document(view, 1765280102) + "\n",
              slurp(data_file("collector_view.json")));
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].ap, "ap-1");
    EXPECT_EQ(samples[0].time, 1765280100);
    EXPECT_EQ(samples[0].crowd, 2);
    ASSERT_EQ(samples[0].hearings.size(), 1u);
    EXPECT_EQ(samples[0].hearings[0].last_seen, 1765280097);
    EXPECT_EQ(samples[0].hearings[0].rssi, -52);
    EXPECT_FALSE(samples[1].crowd.has_value());
}
#endif

}  // namespace
