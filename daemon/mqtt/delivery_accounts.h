// The publisher's queue and its accounts, on the loop thread: the documents
// waiting for the broker (bounded in bytes, the oldest dropped first), those
// handed to the client library and not yet reported sent, and the count of
// each. The running total of drops is also read by the scan worker, for the
// next document; and the payloads the library has taken its copy of go back
// to the scan worker to render the next documents into, so that a
// document's memory is not given back to the system and asked for again
// each time (a heap trimmed and grown again costs page faults per document).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt/publish_queue.h"

struct PublisherCounts {
    uint64_t documents = 0;  // parts that reached the queue or were dropped on the way
    uint64_t handed = 0;     // parts given to the client library
    uint64_t delivered = 0;  // parts the library reports as sent (QoS 0) or acknowledged (QoS 1)
    uint64_t dropped = 0;    // parts the full queue dropped
    // Parts handed over and never reported: at QoS 0 not yet sent when a
    // connection ended, at either QoS not yet sent or acknowledged when the
    // stop gave up on them.
    uint64_t lost = 0;
};

class DeliveryAccounts {
  public:
    // Sent payloads kept for the scan worker while documents wait, at most.
    static constexpr size_t spare_count = 64;
    static constexpr std::chrono::milliseconds spare_idle{1000};

    explicit DeliveryAccounts(size_t queue_limit) : limit_(queue_limit), queue_(queue_limit) {}

    // Scan worker, before rendering a document: the documents the full
    // queue has dropped since the start (the document's queue_dropped).
    uint64_t drops() const { return drops_.load(std::memory_order_relaxed); }

    // Scan worker: a payload sent before, to render the next document into;
    // empty when there is none.
    std::string take_spare();

    // Queues the parts of one scan's document. What the full queue drops is
    // counted and said at verbosity 1.
    void add(std::vector<std::string>& parts);

    bool waiting() const { return !queue_.empty(); }
    PendingDocument& next() { return queue_.front(); }
    // The next waiting document was given to the library as message `mid`.
    void handed(int mid);
    // The library reports message `mid` sent (QoS 0) or acknowledged (QoS 1);
    // it may come before handed(mid), or be a status message.
    void sent(int mid);
    // Status message `mid` was given to the library: a report of it that
    // came first is forgotten.
    void status_handed(int mid) { reported_.erase(mid); }
    // Another message (neither a document nor a status) was given to the
    // library as `mid`: its report is taken without counting.
    void other_handed(int mid);
    bool reported(int mid) const { return reported_.count(mid) != 0; }
    void forget_reports() { reported_.clear(); }
    // A connection ended, with the library's messages at `qos`.
    void connection_ended(int qos);
    // The stop gives up on what is handed over and not yet reported: lost.
    void abandon_in_flight();

    size_t in_flight() const { return in_flight_.size(); }
    bool settled() const { return queue_.empty() && in_flight_.empty(); }
    PublisherCounts counts() const { return counts_; }
    // The closing line of accounts, at verbosity 1.
    void print() const;

  private:
    size_t limit_;
    PublishQueue queue_;
    std::map<int, size_t> in_flight_;  // message id to payload size
    std::set<int> reported_;           // ids reported sent before they were recorded
    std::vector<int> others_;          // other messages handed over, not yet reported (few)
    PublisherCounts counts_;
    // counts_.dropped, for the scan worker.
    std::atomic<uint64_t> drops_{0};
    // Sent payloads for the scan worker: at most spare_count of them and no
    // more bytes than the queue's limit while documents come in a burst; one
    // once a document comes spare_idle after the last (one a scan). The lock
    // is held only to put one in or take one out.
    std::mutex spare_mutex_;
    std::vector<std::string> spares_;
    size_t spare_bytes_ = 0;
    std::chrono::steady_clock::time_point last_take_;  // scan worker's, under the lock
};
