// Folding records into the probe table, and its bounds.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "hash_seed_scope.h"
#include "probe_table.h"
#include "session_fixture.h"

namespace {

// The same moment on both clocks.
ClockReading at(long sec, long usec) {
    ClockReading t;
    t.monotonic_ms = int64_t{sec} * 1000 + usec / 1000;
    t.wall.tv_sec = sec;
    t.wall.tv_usec = usec;
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

// Under rule = persistent a full table still takes the stations the rule knows
// (here the addresses ending in 7 and 8), one entry each beyond the capacity.
TEST(Fold, FullTableTakesKnownStationsWithinTheirRoom) {
    KnownStations known;
    known.known = [](const void*, const uint8_t* mac) { return mac[5] == 7 || mac[5] == 8; };
    known.room = 1;
    ProbeList list;
    ProbeIndex index;
    for (uint8_t i = 0; i < 2; ++i) {
        ASSERT_EQ(fold_probe(list, index, new_record(i), at(1, 0), 2, &known), FoldResult::added);
    }
    const struct {
        uint8_t last;
        FoldResult result;
        size_t size;
    } steps[] = {
        {9, FoldResult::turned_away, 2},  // not a station
        {7, FoldResult::added, 3},        // a known station, within the room
        {7, FoldResult::counted, 3},
        {8, FoldResult::turned_away, 3},  // a known station, the room used up
    };
    for (const auto& step : steps) {
        EXPECT_EQ(fold_probe(list, index, new_record(step.last), at(2, 0), 2, &known), step.result)
            << "address ending " << int(step.last);
        EXPECT_EQ(list.size(), step.size);
    }
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

ProbeRecord* record_for(uint32_t n) {
    auto* r = new ProbeRecord();
    r->mac[0] = 0x02;
    r->mac[2] = static_cast<uint8_t>(n >> 16);
    r->mac[3] = static_cast<uint8_t>(n >> 8);
    r->mac[5] = static_cast<uint8_t>(n);
    return r;
}

TEST(Index, FindsEveryAddressThroughManyGrowthsAndAfterRebuilds) {
    const HashSeedScope seed;
    ProbeList list;
    ProbeIndex index;
    ProbeRecord* stranger = record_for(1u << 23);
    EXPECT_EQ(index.find(stranger->mac), -1) << "empty index";
    // 20,000 addresses: the slots double many times over.
    const uint32_t n = 20000;
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(fold_probe(list, index, record_for(i), at(1, 0)), FoldResult::added);
    }
    ASSERT_EQ(index.size(), n);
    for (uint32_t i = 0; i < n; i += 97) {
        ProbeRecord* probe = record_for(i);
        EXPECT_EQ(index.find(probe->mac), static_cast<long>(i));
        delete probe;
    }
    EXPECT_EQ(index.find(stranger->mac), -1);
    // Keep every tenth entry: positions move, the index must follow.
    ProbeList kept;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i % 10 == 3) {
            kept.push_back(list[i]);
        } else {
            delete list[i].record;
        }
    }
    list.swap(kept);
    index.rebuild(list);
    ASSERT_EQ(index.size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(index.find(list[i].record->mac), static_cast<long>(i));
    }
    EXPECT_EQ(index.find(stranger->mac), -1);
    // Rebuilt from nothing, then filled again past its old size.
    ProbeList none;
    index.rebuild(none);
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.find(list[0].record->mac), -1);
    index.rebuild(list);
    EXPECT_EQ(index.find(list.back().record->mac), static_cast<long>(list.size() - 1));
    index.insert(stranger->mac, 7);
    index.insert(stranger->mac, 9);  // a second insert moves, not adds
    EXPECT_EQ(index.find(stranger->mac), 9);
    EXPECT_EQ(index.size(), list.size() + 1);
    index.clear();
    EXPECT_EQ(index.find(stranger->mac), -1);
    delete stranger;
    for (auto& e : list) {
        delete e.record;
    }
}

TEST(Index, AddressesThatDifferInOneByteAnywhereAreDistinct) {
    ProbeList list;
    ProbeIndex index;
    ProbeRecord* base = record_for(0);
    ASSERT_EQ(fold_probe(list, index, base, at(1, 0)), FoldResult::added);
    for (int byte = 0; byte < 6; ++byte) {
        auto* r = new ProbeRecord(*base);
        r->mac[byte] ^= 0x80;
        EXPECT_EQ(fold_probe(list, index, r, at(1, 0)), FoldResult::added) << "byte " << byte;
    }
    EXPECT_EQ(list.size(), 7u);
    EXPECT_EQ(index.find(base->mac), 0);
    for (auto& e : list) {
        delete e.record;
    }
}

TEST(ProbeTable, ABatchFoldsLikeOneRecordAtATime) {
    // The batched fold looks ahead in the batch; the outcome must be that of
    // folding each record in turn: counts, first-seen order, first records.
    for (size_t batch : {1u, 3u, 8u, 9u, 64u}) {
        TestSession t;
        ProbeList expected;
        ProbeIndex expected_index;
        std::vector<ProbeRecord*> records;
        std::vector<ProbeRecord*> first;
        for (uint32_t i = 0; i < 200; ++i) {
            records.push_back(record_for((i * 7) % 31));
        }
        for (size_t i = 0; i < records.size(); i += batch) {
            const size_t n = std::min(batch, records.size() - i);
            for (size_t k = 0; k < n; ++k) {
                auto* copy = new ProbeRecord(*records[i + k]);
                if (fold_probe(expected, expected_index, copy, at(1, 0)) == FoldResult::added) {
                    first.push_back(records[i + k]);
                }
            }
            add_probes(t.session->table_, t.session->counters_, records.data() + i, n);
        }
        const ProbeList& got = t.session->table_.probe_list;
        ASSERT_EQ(got.size(), expected.size()) << "batch " << batch;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].record, first[i]) << "batch " << batch << " entry " << i;
            EXPECT_EQ(got[i].count, expected[i].count) << "batch " << batch << " entry " << i;
        }
        EXPECT_EQ(t.session->counters_.folded.load(), records.size());
        for (auto& e : expected) {
            delete e.record;
        }
    }
}

TEST(ProbeTable, AddProbeStampsTheCurrentTime) {
    TestSession t;
    struct timeval before;
    gettimeofday(&before, nullptr);
    add_probe(t.session->table_, t.session->counters_, new_record(1));
    ASSERT_EQ(t.session->table_.probe_list.size(), 1u);
    long diff = t.session->table_.probe_list[0].last_seen.tv_sec - before.tv_sec;
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, 2);
}

TEST(ProbeTable, ReleaseEmptiesTheTable) {
    TestSession t;
    release_probe_list(t.session->table_);
    EXPECT_TRUE(t.session->table_.probe_list.empty());
    for (uint8_t i = 0; i < 5; ++i) {
        add_probe(t.session->table_, t.session->counters_, new_record(i));
    }
    release_probe_list(t.session->table_);
    EXPECT_TRUE(t.session->table_.probe_list.empty());
    add_probe(t.session->table_, t.session->counters_, new_record(1));
    EXPECT_EQ(t.session->table_.probe_list.size(), 1u);
    EXPECT_EQ(t.session->table_.probe_list[0].count, 1u);
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
    for (int i = 0; i < 6000 && t.session->counters_.folded.load() < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    t.session->running.store(false);
    t.session->probe_queue_.close();
    worker.join();
    EXPECT_EQ(t.session->counters_.folded.load(), 100u);
    ASSERT_EQ(t.session->table_.probe_list.size(), 7u);
    uint32_t total = 0;
    for (auto& e : t.session->table_.probe_list) {
        total += e.count;
    }
    EXPECT_EQ(total, 100u);
}

}  // namespace
