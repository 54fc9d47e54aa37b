// The hand-over of records from the loop thread to the receive worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "probe_queue.h"
#include "probe_record.h"

namespace {

using namespace std::chrono_literals;

std::vector<ProbeRecord> make_records(size_t n) {
    return std::vector<ProbeRecord>(n);
}

TEST(ProbeQueue, PopsInPushOrder) {
    ProbeQueue q;
    auto r = make_records(3);
    for (auto& rec : r) {
        EXPECT_TRUE(q.push(&rec));
    }
    EXPECT_EQ(q.pop(), &r[0]);
    EXPECT_EQ(q.pop(), &r[1]);
    EXPECT_EQ(q.pop(), &r[2]);
    EXPECT_EQ(q.size(), 0u);
}

TEST(ProbeQueue, PopBlocksUntilPush) {
    ProbeQueue q;
    ProbeRecord rec{};
    auto popped = std::async(std::launch::async, [&] { return q.pop(); });
    EXPECT_EQ(popped.wait_for(100ms), std::future_status::timeout);
    q.push(&rec);
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), &rec);
}

TEST(ProbeQueue, KeepsTenThousandWhileTheConsumerIsHeldUp) {
    ProbeQueue q;
    auto r = make_records(10000);
    std::promise<void> release;
    auto consumer = std::async(std::launch::async, [&, gate = release.get_future()]() mutable {
        gate.wait();
        std::vector<ProbeRecord*> got;
        for (size_t i = 0; i < r.size(); ++i) {
            got.push_back(q.pop());
        }
        return got;
    });
    for (auto& rec : r) {
        ASSERT_TRUE(q.push(&rec));
    }
    EXPECT_EQ(q.size(), 10000u);
    EXPECT_EQ(q.peak(), 10000u);
    release.set_value();
    std::vector<ProbeRecord*> got = consumer.get();
    ASSERT_EQ(got.size(), r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        ASSERT_EQ(got[i], &r[i]) << i;
    }
}

TEST(ProbeQueue, WokenConsumerThatFindsNothingWaitsAgain) {
    // Two waiters, one record: the one that loses the race must not return
    // (and never returns null) until a second record comes.
    ProbeQueue q;
    ProbeRecord a{}, b{};
    std::atomic<int> done{0};
    std::vector<ProbeRecord*> got(2, nullptr);
    std::thread t1([&] {
        got[0] = q.pop();
        done++;
    });
    std::thread t2([&] {
        got[1] = q.pop();
        done++;
    });
    std::this_thread::sleep_for(50ms);
    q.push(&a);
    // One returns, however late it is scheduled; the other then stays.
    for (int i = 0; i < 3000 && done.load() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(done.load(), 1);
    q.push(&b);
    t1.join();
    t2.join();
    EXPECT_TRUE((got[0] == &a && got[1] == &b) || (got[0] == &b && got[1] == &a));
}

TEST(ProbeQueue, CloseReleasesAWaitingConsumer) {
    ProbeQueue q;
    auto popped = std::async(std::launch::async, [&] { return q.pop(); });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    q.close();
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), nullptr);
}

TEST(ProbeQueue, ClosedQueueRefusesAndHandsBackWhatItHeld) {
    ProbeQueue q;
    auto r = make_records(3);
    q.push(&r[0]);
    q.push(&r[1]);
    q.close();
    EXPECT_FALSE(q.push(&r[2]));
    EXPECT_EQ(q.pop(), nullptr);
    std::vector<ProbeRecord*> rest = q.take_all();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], &r[0]);
    EXPECT_EQ(rest[1], &r[1]);
    EXPECT_TRUE(q.take_all().empty());
}

TEST(ProbeQueue, FullQueueTurnsAwayWithoutLosingWhatItHolds) {
    ProbeQueue q(2);
    auto r = make_records(3);
    EXPECT_TRUE(q.push(&r[0]));
    EXPECT_TRUE(q.push(&r[1]));
    EXPECT_FALSE(q.push(&r[2]));
    EXPECT_EQ(q.pop(), &r[0]);
    EXPECT_TRUE(q.push(&r[2]));
    EXPECT_EQ(q.pop(), &r[1]);
    EXPECT_EQ(q.pop(), &r[2]);
}

}  // namespace

namespace {

TEST(ProbeQueueBatch, TakesWhatIsThereUpToTheLimitInOrder) {
    ProbeQueue q;
    auto r = make_records(5);
    for (auto& rec : r) {
        q.push(&rec);
    }
    ProbeRecord* out[3];
    ASSERT_EQ(q.pop_batch(out, 3), 3u);
    EXPECT_EQ(out[0], &r[0]);
    EXPECT_EQ(out[2], &r[2]);
    ASSERT_EQ(q.pop_batch(out, 3), 2u);
    EXPECT_EQ(out[0], &r[3]);
    EXPECT_EQ(out[1], &r[4]);
}

TEST(ProbeQueueBatch, WaitsWhileEmptyAndReturnsZeroOnceClosed) {
    ProbeQueue q;
    ProbeRecord rec{};
    ProbeRecord* out[4];
    auto popped = std::async(std::launch::async, [&] { return q.pop_batch(out, 4); });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    q.push(&rec);
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), 1u);
    EXPECT_EQ(out[0], &rec);
    auto closed = std::async(std::launch::async, [&] { return q.pop_batch(out, 4); });
    q.close();
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(closed.get(), 0u);
}

TEST(ProbeQueueBatch, PushTakesWhatFitsInOrderAndWakesTheConsumerOnce) {
    ProbeQueue q(4);
    auto r = make_records(6);
    ProbeRecord* in[6];
    for (size_t i = 0; i < 6; ++i) {
        in[i] = &r[i];
    }
    ProbeRecord* out[8];
    auto popped = std::async(std::launch::async, [&] { return q.pop_batch(out, 8); });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    q.push(in[0]);
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(popped.get(), 1u);
    // Room for 4: the first four of five are taken, the fifth stays the caller's.
    EXPECT_EQ(q.push_batch(in + 1, 5), 4u);
    EXPECT_EQ(q.peak(), 4u);
    ASSERT_EQ(q.pop_batch(out, 8), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i], in[i + 1]);
    }
    EXPECT_EQ(q.push_batch(in, 0), 0u);
    q.close();
    EXPECT_EQ(q.push_batch(in, 2), 0u);
    EXPECT_TRUE(q.take_all().empty());
}

TEST(ProbeQueueBatch, AConsumerOnAnotherThreadMissesNoWakeUp) {
    // The producer wakes the consumer only when it waits; a wake-up lost in
    // that decision would leave records waiting and this test hanging until
    // its deadline. Batches of every size from 1 to 17, popped up to 5 at a
    // time, in order.
    ProbeQueue q(1 << 20);
    const size_t n = 200000;
    auto r = make_records(n);
    auto consumer = std::async(std::launch::async, [&] {
        size_t got = 0;
        bool in_order = true;
        ProbeRecord* out[5];
        while (got < n) {
            const size_t k = q.pop_batch(out, 5);
            if (k == 0) {
                break;
            }
            for (size_t i = 0; i < k; ++i) {
                in_order = in_order && out[i] == &r[got + i];
            }
            got += k;
        }
        return got == n && in_order;
    });
    std::vector<ProbeRecord*> in(n);
    for (size_t i = 0; i < n; ++i) {
        in[i] = &r[i];
    }
    size_t pushed = 0;
    for (size_t i = 0, size = 1; i < n; i += size, size = size % 17 + 1) {
        const size_t k = std::min(size, n - i);
        pushed += q.push_batch(in.data() + i, k);
        if (i % 4096 < 17) {
            std::this_thread::yield();  // lets the consumer catch up and wait now and then
        }
    }
    EXPECT_EQ(pushed, n);
    const bool done = consumer.wait_for(30s) == std::future_status::ready;
    q.close();  // releases a consumer left waiting, so the test can end
    EXPECT_TRUE(done) << "the consumer was left waiting";
    EXPECT_TRUE(consumer.get());
}

TEST(ProbeQueueBatch, AWaitingConsumerSleepsThroughSmallBatchesUntilWokenOrEnoughWait) {
    ProbeQueue q(ProbeQueue::wake_threshold * 2);
    auto r = make_records(ProbeQueue::wake_threshold);
    std::vector<ProbeRecord*> in;
    for (auto& rec : r) {
        in.push_back(&rec);
    }
    std::vector<ProbeRecord*> out(ProbeQueue::wake_threshold);
    // Batches that ask for no wake-up leave it asleep; an empty one that does
    // wakes it for them.
    auto popped =
        std::async(std::launch::async, [&] { return q.pop_batch(out.data(), out.size()); });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(q.push_batch(in.data(), 3, false), 3u);
    EXPECT_EQ(popped.wait_for(100ms), std::future_status::timeout) << "woken by a small batch";
    EXPECT_EQ(q.push_batch(in.data() + 3, 0, true), 0u);
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), 3u);
    // Once enough records wait, it is woken without being asked.
    popped = std::async(std::launch::async, [&] { return q.pop_batch(out.data(), out.size()); });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    const size_t half = ProbeQueue::wake_threshold / 2;
    EXPECT_EQ(q.push_batch(in.data(), half, false), half);
    EXPECT_EQ(popped.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(q.push_batch(in.data() + half, ProbeQueue::wake_threshold - half, false),
              ProbeQueue::wake_threshold - half);
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), ProbeQueue::wake_threshold);
    EXPECT_EQ(out[0], in[0]);
    EXPECT_EQ(out.back(), in.back());
}

}  // namespace
