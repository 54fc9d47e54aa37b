// Folding records into the probe table, and its bounds.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include "probe_table.h"
#include "session_fixture.h"

namespace {

struct timeval at(long sec, long usec) {
    struct timeval t;
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

TEST(Fold, FirstSightingKeepsThatVeryRecord) {
    ProbeList list;
    ProbeIndex index;
    ProbeRecord* r = new_record(1);
    EXPECT_EQ(fold_probe(list, index, r, at(10, 5)), FoldResult::added);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].record, r);
    EXPECT_EQ(list[0].count, 1u);
    EXPECT_EQ(list[0].reported_count, 0u);
    EXPECT_EQ(list[0].mark, 0);
    EXPECT_EQ(list[0].last_seen.tv_sec, 10);
    delete r;
}

TEST(Fold, RepeatRaisesCountAndKeepsFirstValues) {
    ProbeList list;
    ProbeIndex index;
    ProbeRecord* first = new_record(1, -40);
    fold_probe(list, index, first, at(10, 0));
    ProbeRecord* again = new_record(1, -70);
    again->band = 2;
    again->freq = 5180;
    again->second_mac[0] = 0x99;
    EXPECT_EQ(fold_probe(list, index, again, at(11, 500)), FoldResult::counted);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].record, first);
    EXPECT_EQ(list[0].count, 2u);
    EXPECT_EQ(list[0].record->rssi, -40);
    EXPECT_EQ(list[0].record->freq, 0);
    EXPECT_EQ(list[0].last_seen.tv_sec, 11);
    EXPECT_EQ(list[0].last_seen.tv_usec, 500);
    delete first;
}

TEST(Fold, AddressesDifferingInTheLastByteAreTwoStationsInFirstSeenOrder) {
    ProbeList list;
    ProbeIndex index;
    fold_probe(list, index, new_record(2), at(1, 0));
    fold_probe(list, index, new_record(1), at(2, 0));
    fold_probe(list, index, new_record(2), at(3, 0));
    fold_probe(list, index, new_record(3), at(4, 0));
    fold_probe(list, index, new_record(1), at(5, 0));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].record->mac[5], 2);
    EXPECT_EQ(list[1].record->mac[5], 1);
    EXPECT_EQ(list[2].record->mac[5], 3);
    EXPECT_EQ(list[0].count, 2u);
    EXPECT_EQ(list[1].count, 2u);
    EXPECT_EQ(list[2].count, 1u);
    for (auto& e : list) {
        delete e.record;
    }
}

TEST(Fold, FullTableTurnsNewAddressesAwayButStillCountsKnownOnes) {
    ProbeList list;
    ProbeIndex index;
    for (uint8_t i = 0; i < 3; ++i) {
        EXPECT_EQ(fold_probe(list, index, new_record(i), at(1, 0), 3), FoldResult::added);
    }
    EXPECT_EQ(fold_probe(list, index, new_record(9), at(2, 0), 3), FoldResult::turned_away);
    EXPECT_EQ(fold_probe(list, index, new_record(1), at(2, 0), 3), FoldResult::counted);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].count, 2u);
    EXPECT_EQ(index.find(list[2].record->mac), 2);
    for (auto& e : list) {
        delete e.record;
    }
}

TEST(Fold, IndexFollowsTheTableAfterEntriesAreRemoved) {
    ProbeList list;
    ProbeIndex index;
    for (uint8_t i = 0; i < 6; ++i) {
        fold_probe(list, index, new_record(i), at(1, 0));
    }
    // Drop the even ones, as a scan would, then rebuild.
    ProbeList kept;
    for (auto& e : list) {
        if (e.record->mac[5] % 2 == 0) {
            delete e.record;
        } else {
            kept.push_back(e);
        }
    }
    list.swap(kept);
    index.rebuild(list);
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(fold_probe(list, index, new_record(5), at(2, 0)), FoldResult::counted);
    EXPECT_EQ(list[2].count, 2u);
    EXPECT_EQ(fold_probe(list, index, new_record(0), at(2, 0)), FoldResult::added);
    EXPECT_EQ(list.back().count, 1u);
    for (auto& e : list) {
        delete e.record;
    }
}

TEST(ProbeTable, AddProbeStampsTheCurrentTime) {
    TestSession t;
    struct timeval before;
    gettimeofday(&before, nullptr);
    add_probe(t.session, new_record(1));
    ASSERT_EQ(t.session->probe_list.size(), 1u);
    long diff = t.session->probe_list[0].last_seen.tv_sec - before.tv_sec;
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, 2);
}

TEST(ProbeTable, ReleaseEmptiesTheTable) {
    TestSession t;
    release_probe_list(t.session);
    EXPECT_TRUE(t.session->probe_list.empty());
    for (uint8_t i = 0; i < 5; ++i) {
        add_probe(t.session, new_record(i));
    }
    release_probe_list(t.session);
    EXPECT_TRUE(t.session->probe_list.empty());
    add_probe(t.session, new_record(1));
    EXPECT_EQ(t.session->probe_list.size(), 1u);
    EXPECT_EQ(t.session->probe_list[0].count, 1u);
}

TEST(ReceiveWorker, StopsWithoutPoppingWhenNotRunning) {
    TestSession t;
    t.session->running.store(false);
    ProbeRecord* r = new_record(1);
    t.session->probe_queue_.push(r);
    worker_mac80211_mac_recv(t.session);
    EXPECT_EQ(t.session->probe_queue_.size(), 1u);
    delete t.session->probe_queue_.take_all()[0];
}

TEST(ReceiveWorker, FoldsQueuedRecordsUntilTheQueueCloses) {
    TestSession t;
    std::thread worker(worker_mac80211_mac_recv, t.session);
    for (uint8_t i = 0; i < 100; ++i) {
        t.session->probe_queue_.push(new_record(i % 7));
    }
    for (int i = 0; i < 500 && t.session->counters_.folded.load() < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    t.session->running.store(false);
    t.session->probe_queue_.close();
    worker.join();
    EXPECT_EQ(t.session->counters_.folded.load(), 100u);
    ASSERT_EQ(t.session->probe_list.size(), 7u);
    uint32_t total = 0;
    for (auto& e : t.session->probe_list) {
        total += e.count;
    }
    EXPECT_EQ(total, 100u);
}

}  // namespace
