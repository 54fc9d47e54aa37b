// The hand-over of decoded probe records from the loop thread to the receive
// worker: a blocking first-in first-out queue of record pointers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

struct ProbeRecord;

class ProbeQueue {
  public:
    // Records beyond this many waiting are turned away: a flood that the fold
    // cannot keep up with must not eat the router's memory. 64 Ki pointers
    // and their records take about 2 MiB.
    static constexpr size_t default_capacity = 65536;

    explicit ProbeQueue(size_t capacity = default_capacity) : capacity_(capacity) {}

    // Appends `record` and wakes the consumer. Returns false, keeping nothing,
    // when the queue is full or closed; the caller still owns the record.
    bool push(ProbeRecord* record);

    // Appends the first records of `records` (up to `n`, in order) under one
    // lock, as far as there is room; returns how many were taken. The caller
    // still owns the rest. A waiting consumer is woken when `wake_now` is set
    // (even when `n` is 0) and records wait, or else once `wake_threshold`
    // records wait: a producer in the middle of a long drain leaves the
    // consumer asleep until there is a good amount of work for it, and sets
    // `wake_now` when it has handed over its last records.
    size_t push_batch(ProbeRecord* const* records, size_t n, bool wake_now = true);
    static constexpr size_t wake_threshold = 4096;

    // Takes the oldest record, waiting while the queue is empty. Returns null
    // only once the queue has been closed.
    ProbeRecord* pop();

    // Takes up to `max` of the oldest records into `out`, waiting while the
    // queue is empty; returns how many, 0 only once the queue has been closed.
    // Lets the consumer fold a burst under one lock instead of one per record.
    size_t pop_batch(ProbeRecord** out, size_t max);

    // Releases a consumer that waits in pop(); every later pop() returns null
    // at once and push() refuses.
    void close();

    // Removes and returns every record still queued (for the teardown).
    std::vector<ProbeRecord*> take_all();

    size_t size();
    // Highest number of records waiting at once since construction.
    size_t peak();

  private:
    std::deque<ProbeRecord*> queue_;
    std::mutex mutex_;
    std::condition_variable cond_;
    size_t capacity_;
    size_t peak_ = 0;
    unsigned waiting_ = 0;  // consumers waiting in pop() or pop_batch()
    bool closed_ = false;
};
