// Hands work from worker threads to the loop thread, which owns every libuv
// handle: a mutex-guarded list of tasks and an async wake-up. Posting never
// waits for the loop thread; the list's mutex is a leaf lock held only to
// append or to take the list.
#pragma once

#include <uv.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

struct LoopTask {
    void (*run)(void* arg);   // on the loop thread
    void (*drop)(void* arg);  // instead of run, when the hand-over is closed first
    void* arg;
};

class LoopHandover {
  public:
    // Tasks run per turn of the loop at most. A scan of a large table hands
    // over one report per kept station; run in slices, with the rest left for
    // the next turn, timers and the netlink poll get their turn in between.
    static constexpr size_t tasks_per_turn = 256;

    // On the loop's thread, before any thread posts.
    int init(uv_loop_t* loop);

    // Queues `task` for the loop thread. Returns false, running nothing, once
    // the hand-over is closed; the caller then still owns `task.arg`.
    bool post(LoopTask task);

    // Runs `fn(arg)` on the loop thread and waits until it has run. Returns
    // false when the hand-over was closed before it ran. Worker threads only.
    bool call_and_wait(void (*fn)(void*), void* arg);

    // Drops every pending task and releases callers waiting in call_and_wait.
    void close();

  private:
    struct Waiter;
    static void async_cb(uv_async_t* handle);
    static void run_waiter(void* arg);
    static void drop_waiter(void* arg);
    void run_pending();

    uv_async_t async_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<LoopTask> tasks_;
    bool closed_ = false;
};
