// The worker-to-loop hand-over: tasks run on the loop thread in the order
// they were posted, a large backlog in slices with the loop's other work in
// between, and a close drops what is pending and releases every waiter.
#include <gtest/gtest.h>
#include <uv.h>

#include <atomic>
#include <thread>
#include <vector>

#include "loop_handover.h"

namespace {

class Handover : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(uv_loop_init(&loop_), 0);
        ASSERT_EQ(handover_.init(&loop_), 0);
    }
    void TearDown() override {
        handover_.close();
        uv_walk(
            &loop_,
            [](uv_handle_t* h, void*) {
                if (!uv_is_closing(h)) {
                    uv_close(h, nullptr);
                }
            },
            nullptr);
        uv_run(&loop_, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop_), 0);
    }

    struct Ran {
        Handover* test;
        int value;
    };
    static void record(void* arg) {
        auto* r = static_cast<Ran*>(arg);
        r->test->order_.push_back(r->value);
        r->test->threads_.push_back(std::this_thread::get_id());
    }
    static void dropped(void* arg) { static_cast<Ran*>(arg)->test->dropped_ += 1; }
    LoopTask task(Ran& r) { return LoopTask{record, dropped, &r}; }

    uv_loop_t loop_;
    LoopHandover handover_;
    std::vector<int> order_;
    std::vector<std::thread::id> threads_;
    int dropped_ = 0;
};

TEST_F(Handover, TasksFromAnotherThreadRunOnTheLoopThreadInOrder) {
    std::vector<Ran> ran;
    for (int i = 0; i < 100; ++i) {
        ran.push_back(Ran{this, i});
    }
    std::thread poster([&] {
        for (Ran& r : ran) {
            ASSERT_TRUE(handover_.post(task(r)));
        }
    });
    poster.join();
    while (order_.size() < ran.size()) {
        uv_run(&loop_, UV_RUN_ONCE);
    }
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order_[static_cast<size_t>(i)], i);
    }
    for (const auto& id : threads_) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    EXPECT_EQ(dropped_, 0);
}

TEST_F(Handover, ABacklogRunsInSlicesWithTheLoopTurningInBetween) {
    const size_t slice = LoopHandover::tasks_per_turn;
    std::vector<Ran> ran;
    for (size_t i = 0; i < slice * 2 + 10; ++i) {
        ran.push_back(Ran{this, static_cast<int>(i)});
    }
    for (Ran& r : ran) {
        ASSERT_TRUE(handover_.post(task(r)));
    }
    // One slice per turn of the loop: what else is due runs in between.
    uv_run(&loop_, UV_RUN_NOWAIT);
    EXPECT_EQ(order_.size(), slice);
    uv_run(&loop_, UV_RUN_NOWAIT);
    EXPECT_EQ(order_.size(), slice * 2);
    uv_run(&loop_, UV_RUN_NOWAIT);
    ASSERT_EQ(order_.size(), ran.size());
    for (size_t i = 0; i < ran.size(); ++i) {
        EXPECT_EQ(order_[i], static_cast<int>(i));
    }
}

TEST_F(Handover, CloseDropsWhatIsPendingAndRefusesMore) {
    Ran a{this, 1}, b{this, 2}, c{this, 3};
    ASSERT_TRUE(handover_.post(task(a)));
    ASSERT_TRUE(handover_.post(task(b)));
    handover_.close();
    EXPECT_EQ(dropped_, 2);
    EXPECT_FALSE(handover_.post(task(c)));
    uv_run(&loop_, UV_RUN_NOWAIT);
    EXPECT_TRUE(order_.empty());
    EXPECT_EQ(dropped_, 2);
}

TEST_F(Handover, CallAndWaitReturnsOnceItRanOrOnceClosed) {
    std::atomic<bool> done{false};
    int value = 0;
    bool ran = false;
    std::thread caller([&] {
        ran = handover_.call_and_wait([](void* arg) { *static_cast<int*>(arg) = 42; }, &value);
        done.store(true);
    });
    while (!done.load()) {
        uv_run(&loop_, UV_RUN_NOWAIT);
        std::this_thread::yield();
    }
    caller.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(value, 42);

    // The loop never turns again: close releases the waiting caller.
    std::atomic<bool> posted{false};
    bool ran_after_close = true;
    std::thread waiter([&] {
        posted.store(true);
        ran_after_close =
            handover_.call_and_wait([](void*) { FAIL() << "ran after close"; }, nullptr);
    });
    while (!posted.load()) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    handover_.close();
    waiter.join();
    EXPECT_FALSE(ran_after_close);
}

}  // namespace
