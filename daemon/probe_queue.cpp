#include "probe_queue.h"

#include <algorithm>

bool ProbeQueue::push(ProbeRecord* record) {
    return push_batch(&record, 1) == 1;
}

size_t ProbeQueue::push_batch(ProbeRecord* const* records, size_t n, bool wake_now) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
        return 0;
    }
    const size_t taken = std::min(n, capacity_ - std::min(capacity_, queue_.size()));
    queue_.insert(queue_.end(), records, records + taken);
    if (queue_.size() > peak_) {
        peak_ = queue_.size();
    }
    // The consumer is woken only when it waits, and after the lock is let go:
    // woken under the lock, a consumer on the same core would run at once
    // only to block on the lock again, which costs two more switches.
    const bool wake =
        waiting_ != 0 && !queue_.empty() && (wake_now || queue_.size() >= wake_threshold);
    lock.unlock();
    if (wake) {
        cond_.notify_one();
    }
    return taken;
}

ProbeRecord* ProbeQueue::pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (queue_.empty() && !closed_) {
        ++waiting_;
        cond_.wait(lock);
        --waiting_;
    }
    if (closed_) {
        return nullptr;
    }
    ProbeRecord* record = queue_.front();
    queue_.pop_front();
    return record;
}

size_t ProbeQueue::pop_batch(ProbeRecord** out, size_t max) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (queue_.empty() && !closed_) {
        ++waiting_;
        cond_.wait(lock);
        --waiting_;
    }
    if (closed_) {
        return 0;
    }
    size_t n = 0;
    while (n < max && !queue_.empty()) {
        out[n++] = queue_.front();
        queue_.pop_front();
    }
    return n;
}

void ProbeQueue::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    cond_.notify_all();
}

std::vector<ProbeRecord*> ProbeQueue::take_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<ProbeRecord*> rest(queue_.begin(), queue_.end());
    queue_.clear();
    return rest;
}

size_t ProbeQueue::size() {
    std::unique_lock<std::mutex> lock(mutex_);
    return queue_.size();
}

size_t ProbeQueue::peak() {
    std::unique_lock<std::mutex> lock(mutex_);
    return peak_;
}
