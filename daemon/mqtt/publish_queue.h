// Scan documents waiting for the broker, bounded in bytes: when a new one
// does not fit, the oldest go first and are counted. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

struct PendingDocument {
    std::string payload;
};

class PublishQueue {
  public:
    explicit PublishQueue(size_t limit) : limit_(limit) {}

    // Appends `doc`, first dropping the oldest until it fits. A document
    // larger than the whole limit is itself dropped. Returns how many
    // documents were dropped.
    size_t push(PendingDocument doc);
    bool empty() const { return docs_.empty(); }
    size_t size() const { return docs_.size(); }
    size_t bytes() const { return bytes_; }
    PendingDocument& front() { return docs_.front(); }
    void pop();
    // The same, giving the oldest document's payload back.
    std::string pop_payload();
    uint64_t dropped() const { return dropped_; }  // since the start

  private:
    size_t limit_;
    size_t bytes_ = 0;
    uint64_t dropped_ = 0;
    std::deque<PendingDocument> docs_;
};
