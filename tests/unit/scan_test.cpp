// The scan that keeps stable addresses, the console table and the summary.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "console_log.h"
#include "console_table.h"
#include "multicast.h"
#include "persistent/persistent_rule.h"
#include "scan.h"
#include "session_fixture.h"

namespace {

struct Kept {
    uint8_t last;
    uint32_t delta;
};
std::vector<Kept> kept_calls;
void record_kept(void*, const ProbeEntry& e);
const ScanSinks kept_recorder = {{{record_kept, nullptr, nullptr}}, 1};

void record_kept(void*, const ProbeEntry& e) {
    kept_calls.push_back(Kept{e.record->mac[5], e.count - e.reported_count});
}

ProbeEntry entry(uint8_t last, uint32_t count, uint32_t reported) {
    ProbeEntry e{};
    e.record = new_record(last);
    e.count = count;
    e.reported_count = reported;
    return e;
}

void free_all(ProbeList& list) {
    for (auto& e : list) {
        delete e.record;
    }
    list.clear();
}

TEST(Scan, WorkedExampleKeepsE1AndE3) {
    ProbeList list = {entry(1, 5, 0), entry(2, 1, 0), entry(3, 7, 5), entry(4, 3, 3)};
    kept_calls.clear();
    EXPECT_EQ(scan_entries(list, 2, kept_recorder), 2u);
    ASSERT_EQ(kept_calls.size(), 2u);
    EXPECT_EQ(kept_calls[0].last, 1);
    EXPECT_EQ(kept_calls[0].delta, 5u);
    EXPECT_EQ(kept_calls[1].last, 3);
    EXPECT_EQ(kept_calls[1].delta, 2u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].record->mac[5], 1);
    EXPECT_EQ(list[0].reported_count, 5u);
    EXPECT_EQ(list[0].mark, 1);
    EXPECT_EQ(list[1].record->mac[5], 3);
    EXPECT_EQ(list[1].reported_count, 7u);
    EXPECT_EQ(list[1].mark, 1);

    // Right after, with nothing new heard: both deltas are 0, both dropped.
    kept_calls.clear();
    EXPECT_EQ(scan_entries(list, 2, kept_recorder), 2u);
    EXPECT_TRUE(kept_calls.empty());
    EXPECT_TRUE(list.empty());
}

TEST(Scan, ThresholdZeroKeepsEverythingEvenWithoutNewHits) {
    ProbeList list = {entry(1, 1, 1), entry(2, 4, 0)};
    kept_calls.clear();
    EXPECT_EQ(scan_entries(list, 0, kept_recorder), 0u);
    EXPECT_EQ(scan_entries(list, 0, kept_recorder), 0u);
    EXPECT_EQ(kept_calls.size(), 4u);
    EXPECT_EQ(kept_calls[2].delta, 0u);
    EXPECT_EQ(list.size(), 2u);
    free_all(list);
}

TEST(Scan, ThresholdOneDropsAKeptStationNotHeardAgain) {
    ProbeList list = {entry(1, 1, 0), entry(2, 1, 0)};
    kept_calls.clear();
    EXPECT_EQ(scan_entries(list, 1, kept_recorder), 0u);
    list[1].count += 1;  // only station 2 is heard again
    EXPECT_EQ(scan_entries(list, 1, kept_recorder), 1u);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].record->mac[5], 2);
    free_all(list);
}

TEST(Scan, EmptyAndAllDroppedTablesEndEmpty) {
    ProbeList list;
    kept_calls.clear();
    EXPECT_EQ(scan_entries(list, 2, kept_recorder), 0u);
    list = {entry(1, 1, 0), entry(2, 1, 0), entry(3, 1, 0)};
    EXPECT_EQ(scan_entries(list, 2, kept_recorder), 3u);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(kept_calls.empty());
}

TEST(Scan, CompactionKeepsOrderOfTheSurvivors) {
    ProbeList list;
    for (uint8_t i = 0; i < 20; ++i) {
        list.push_back(entry(i, i % 3 == 0 ? 5 : 1, 0));
    }
    scan_entries(list, 2, kept_recorder);
    ASSERT_EQ(list.size(), 7u);
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].record->mac[5], 3 * i);
    }
    free_all(list);
}

std::string row_at(uint32_t v, const ProbeEntry& e) {
    return run_in_child([&] {
               verbosity = v;
               print_probe_row(e);
           })
        .out;
}

// Each sink writes what it is handed into `calls`, tagged with its context.
std::vector<std::string> sink_calls;
void log_entry(void* tag, const ProbeEntry& e) {
    sink_calls.push_back(std::string(static_cast<const char*>(tag)) + " " +
                         std::to_string(e.record->mac[5]) + "+" +
                         std::to_string(e.count - e.reported_count));
}
void log_end(void* tag, const ScanTotals& t) {
    sink_calls.push_back(std::string(static_cast<const char*>(tag)) + " end " +
                         std::to_string(t.table_size) + "/" + std::to_string(t.kept) + "/" +
                         std::to_string(t.dropped) + "/" + std::to_string(t.turned_away_table) +
                         "/" + std::to_string(t.turned_away_queue));
}

TEST(Scan, SinksGetEachKeptEntryInTableOrderThenTheTotals) {
    TestSession t;
    t.session->table_.probe_list = {entry(1, 5, 0), entry(2, 1, 0), entry(3, 9, 4), entry(4, 2, 2)};
    t.session->table_.probe_index_.rebuild(t.session->table_.probe_list);
    t.session->counters_.table_full.store(3);
    ScanSinks sinks{};
    char a[] = "a", b[] = "b";
    ASSERT_TRUE(add_scan_sink(sinks, ScanSink{log_entry, log_end, a}));
    ASSERT_TRUE(add_scan_sink(sinks, ScanSink{log_entry, nullptr, b}));
    ASSERT_TRUE(add_scan_sink(sinks, ScanSink{nullptr, log_end, b}));
    ASSERT_TRUE(add_scan_sink(sinks, ScanSink{}));
    EXPECT_FALSE(add_scan_sink(sinks, ScanSink{log_entry, log_end, a}));  // all places taken
    sink_calls.clear();
    const ScanTotals totals =
        scan_probe_list(t.session->table_, 2, sinks, t.session->counters_, t.session->kernel_);
    EXPECT_EQ(sink_calls, (std::vector<std::string>{"a 1+5", "b 1+5", "a 3+5", "b 3+5",
                                                    "a end 4/2/2/3/0", "b end 4/2/2/3/0"}));
    EXPECT_EQ(totals.kernel_lost, 0u);
    EXPECT_EQ(t.session->table_.probe_list.size(), 2u);
}

TEST(Scan, PersistentPassHandsStationsToTheSinksAndTheCrowdWithTheTotals) {
    TestSession t;
    const int64_t now_ms = read_clocks().monotonic_ms;
    // Heard over 70 s in this interval: a station at once. The other two are
    // heard once each, one strong, one weak.
    auto heard = [&](uint8_t last, int8_t rssi, int64_t span, uint32_t count) {
        ProbeEntry e{};
        e.record = new_record(last, rssi);
        e.count = count;
        e.first_ms = now_ms - (span + 1) * 1000;
        e.last_ms = now_ms - 1000;
        return e;
    };
    t.session->table_.probe_list = {heard(1, -90, 0, 1), heard(2, -50, 70, 6), heard(3, -60, 0, 2)};
    PersistentRule rule(60, 600);
    ScanSinks sinks{};
    char a[] = "a";
    ASSERT_TRUE(add_scan_sink(sinks, ScanSink{log_entry, log_end, a}));
    sink_calls.clear();
    const ScanTotals totals =
        rule.scan(t.session->table_, sinks, t.session->counters_, t.session->kernel_);
    EXPECT_EQ(sink_calls, (std::vector<std::string>{"a 2+6", "a end 3/1/2/0/0"}));
    EXPECT_TRUE(totals.has_crowd);
    EXPECT_EQ(totals.crowd_randomised, 2u);
    EXPECT_EQ(totals.crowd_estimate, 1u);  // the strong station; one burst is no device yet
    EXPECT_TRUE(t.session->table_.probe_list.empty());
    ASSERT_EQ(rule.tiers.stations().size(), 1u);
    EXPECT_EQ(rule.tiers.stations()[0].record.mac[5], 2);
}

TEST(ConsoleTable, RowAtVerbosityZeroAndOne) {
    ProbeEntry e = entry(0x5e, 9, 4);
    e.last_seen.tv_sec = 7;
    e.last_seen.tv_usec = 5000;
    e.record->rssi = -45;
    e.record->band = 1;
    e.record->freq = 2412;
    const uint8_t second[6] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6};
    memcpy(e.record->second_mac, second, 6);
    EXPECT_EQ(row_at(0, e), "7.005    001a2b3c4d5e            -45\n");
    EXPECT_EQ(row_at(1, e),
              "7.005    001a2b3c4d5e - a1b2c3d4e5f6            -45        1       2412       5\n");
    e.last_seen.tv_usec = 999999;
    e.record->rssi = -5;
    EXPECT_EQ(row_at(0, e), "7.999    001a2b3c4d5e             -5\n");
    delete e.record;
}

TEST(ConsoleTable, RowsStayWholeWhileAnotherThreadPrintsAddresses) {
    // The scan worker prints rows while the loop thread prints the address of
    // every reply: each line must be one or the other, never a mix.
    ProbeEntry e = entry(0x5e, 9, 4);
    const std::string row = row_at(1, e);
    auto r = run_in_child([&] {
        verbosity = 1;
        std::thread addresses([] {
            const unsigned char mac[6] = {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
            for (int i = 0; i < 3000; ++i) {
                print_mac(mac);
            }
        });
        for (int i = 0; i < 3000; ++i) {
            print_probe_row(e);
        }
        addresses.join();
        fflush(stdout);
    });
    delete e.record;
    ASSERT_TRUE(r.exited());
    size_t rows = 0, macs = 0, other = 0, pos = 0;
    while (pos < r.out.size()) {
        const size_t end = r.out.find('\n', pos);
        const std::string line = r.out.substr(pos, end == std::string::npos ? end : end - pos + 1);
        pos = end == std::string::npos ? r.out.size() : end + 1;
        if (line == row) {
            ++rows;
        } else if (line == "0a:0b:0c:0d:0e:0f\n") {
            ++macs;
        } else {
            ++other;
        }
    }
    EXPECT_EQ(rows, 3000u);
    EXPECT_EQ(macs, 3000u);
    EXPECT_EQ(other, 0u);
}

TEST(ConsoleTable, HeaderAtVerbosityZeroAndOne) {
    auto header = [](uint32_t v) {
        return run_in_child([&] {
                   verbosity = v;
                   print_probe_header();
               })
            .out;
    };
    EXPECT_EQ(header(0),
              "Timestamp         MAC                     Rssi     \n"
              "+-----------------+-----------------------+----------\n");
    EXPECT_EQ(
        header(2),
        "Timestamp         MAC                                     Rssi     Band     Freq      "
        "Cnt/Delta(10)\n"
        "+-----------------+---------------------------------------+----------+-------+--------"
        "+-------\n");
}

TEST(Summary, CountsEveryEntryAndListsThoseAtTheThreshold) {
    TestSession t;
    ProbeList& list = t.session->table_.probe_list;
    list = {entry(1, 5, 5), entry(3, 7, 7), entry(5, 1, 0)};
    for (auto& e : list) {
        e.last_seen.tv_sec = 100;
    }
    std::string out = run_in_child([&] {
                          verbosity = 0;
                          print_summary(t.session->table_, t.session->options_.randommax);
                      }).out;
    EXPECT_EQ(out,
              "\n*** summary ***\n"
              "total probes request found: 3\n"
              "To remove some random address, and get a valid address list:\n"
              "Timestamp         MAC                     Rssi     \n"
              "+-----------------+-----------------------+----------\n"
              "100.000    001a2b3c4d01            -40\n"
              "100.000    001a2b3c4d03            -40\n"
              "finally get a valid probe reqeust number: 2\n");
    EXPECT_EQ(list.size(), 3u);
}

TEST(ScanWorker, LeavesAtOnceWhenNotRunning) {
    TestSession t;
    t.session->running.store(false);
    auto r = run_in_child([&] {
        verbosity = 1;
        worker_mac_list_scan(t.session);
    });
    EXPECT_EQ(r.out, "worker_scan thread stopped ...\n");
    // The late ticks are said at -vv only.
    r = run_in_child([&] {
        verbosity = 2;
        t.session->threads_sync_.late_ticks = 3;
        worker_mac_list_scan(t.session);
    });
    EXPECT_EQ(r.out,
              "scan: 3 ticks of the scan timer came during a pass and were dropped\n"
              "worker_scan thread stopped ...\n");
}

// A pass held in its end callback until the test lets it go (or 3 s pass).
struct HeldPass {
    std::mutex m;
    std::condition_variable cv;
    int passes = 0;
    bool release = false;
    bool timed_out = false;
};

void hold_pass(void* context, const ScanTotals& /*totals*/) {
    auto* h = static_cast<HeldPass*>(context);
    std::unique_lock<std::mutex> lock(h->m);
    ++h->passes;
    h->cv.notify_all();
    if (!h->cv.wait_for(lock, std::chrono::seconds(3), [h] { return h->release; })) {
        h->timed_out = true;
    }
    h->release = false;
}

// The scan signal's state, read under its mutex: whether a pass runs, and
// the late ticks so far.
std::pair<bool, uint64_t> scan_state(NlSession* session) {
    uv_mutex_lock(&session->threads_sync_.mutex_list_scan_);
    const std::pair<bool, uint64_t> state{session->threads_sync_.scanning,
                                          session->threads_sync_.late_ticks};
    uv_mutex_unlock(&session->threads_sync_.mutex_list_scan_);
    return state;
}

TEST(ScanWorker, TicksDuringASlowPassNeitherWaitNorRunLate) {
    TestSession t;
    HeldPass held;
    t.session->scan_sinks_ = ScanSinks{};
    ASSERT_TRUE(add_scan_sink(t.session->scan_sinks_, ScanSink{nullptr, hold_pass, &held}));
    uv_thread_t worker;
    ASSERT_EQ(uv_thread_create(&worker, worker_mac_list_scan, t.session), 0);
    auto wait_passes = [&](int n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(held.m);
        return held.cv.wait_for(lock, limit, [&] { return held.passes >= n; });
    };
    auto release = [&] {
        std::lock_guard<std::mutex> lock(held.m);
        held.release = true;
        held.cv.notify_all();
    };
    // A tick counts only once the worker waits for one: tick until a pass
    // starts.
    while (!wait_passes(1, std::chrono::milliseconds(10))) {
        request_scan(t.session);
    }
    const uint64_t late_before = scan_state(t.session).second;
    // Two ticks while the pass is held: the loop thread goes on at once.
    const auto start = std::chrono::steady_clock::now();
    request_scan(t.session);
    request_scan(t.session);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 500);
    release();
    while (scan_state(t.session).first) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // They were dropped: no pass follows the held one until the next tick.
    EXPECT_FALSE(wait_passes(2, std::chrono::milliseconds(50)));
    request_scan(t.session);
    EXPECT_TRUE(wait_passes(2, std::chrono::seconds(3)));
    release();
    t.session->running.store(false);
    uv_mutex_lock(&t.session->threads_sync_.mutex_list_scan_);
    uv_cond_broadcast(&t.session->threads_sync_.cond_list_scan_);
    uv_mutex_unlock(&t.session->threads_sync_.mutex_list_scan_);
    uv_thread_join(&worker);
    EXPECT_EQ(t.session->threads_sync_.late_ticks - late_before, 2u);
    EXPECT_FALSE(held.timed_out);
}

}  // namespace
