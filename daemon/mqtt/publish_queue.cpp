#include "mqtt/publish_queue.h"

#include <utility>

size_t PublishQueue::push(PendingDocument doc) {
    const size_t length = doc.payload.size();
    if (length > limit_) {
        ++dropped_;
        return 1;
    }
    size_t gone = 0;
    while (bytes_ + length > limit_) {
        pop();
        ++gone;
    }
    dropped_ += gone;
    bytes_ += length;
    docs_.push_back(std::move(doc));
    return gone;
}

void PublishQueue::pop() {
    bytes_ -= docs_.front().payload.size();
    docs_.pop_front();
}

std::string PublishQueue::pop_payload() {
    std::string payload = std::move(docs_.front().payload);
    bytes_ -= payload.size();
    docs_.pop_front();
    return payload;
}
