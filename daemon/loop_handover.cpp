#include "loop_handover.h"

#include <algorithm>

struct LoopHandover::Waiter {
    LoopHandover* owner;
    void (*fn)(void*);
    void* arg;
    bool finished;
    bool ran;
};

int LoopHandover::init(uv_loop_t* loop) {
    async_.data = this;
    return uv_async_init(loop, &async_, async_cb);
}

bool LoopHandover::post(LoopTask task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        tasks_.push_back(task);
    }
    uv_async_send(&async_);
    return true;
}

void LoopHandover::async_cb(uv_async_t* handle) {
    static_cast<LoopHandover*>(handle->data)->run_pending();
}

void LoopHandover::run_pending() {
    LoopTask slice[tasks_per_turn];
    size_t n = 0;
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        n = std::min(tasks_.size(), tasks_per_turn);
        std::copy_n(tasks_.begin(), n, slice);
        tasks_.erase(tasks_.begin(), tasks_.begin() + static_cast<std::ptrdiff_t>(n));
        more = !tasks_.empty();
    }
    if (more) {
        uv_async_send(&async_);  // the rest on the next turn
    }
    for (size_t i = 0; i < n; ++i) {
        slice[i].run(slice[i].arg);
    }
}

void LoopHandover::run_waiter(void* arg) {
    auto* w = static_cast<Waiter*>(arg);
    w->fn(w->arg);
    std::lock_guard<std::mutex> lock(w->owner->mutex_);
    w->ran = true;
    w->finished = true;
    w->owner->done_.notify_all();
}

void LoopHandover::drop_waiter(void* arg) {
    auto* w = static_cast<Waiter*>(arg);
    std::lock_guard<std::mutex> lock(w->owner->mutex_);
    w->finished = true;
    w->owner->done_.notify_all();
}

bool LoopHandover::call_and_wait(void (*fn)(void*), void* arg) {
    Waiter waiter{this, fn, arg, false, false};
    if (!post(LoopTask{run_waiter, drop_waiter, &waiter})) {
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return waiter.finished; });
    return waiter.ran;
}

void LoopHandover::close() {
    std::deque<LoopTask> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        pending.swap(tasks_);
    }
    for (const LoopTask& task : pending) {
        task.drop(task.arg);
    }
}
