#include "mqtt/delivery_accounts.h"

#include <algorithm>
#include <utility>

#include "console_log.h"

void DeliveryAccounts::add(std::vector<std::string>& parts) {
    size_t dropped = 0;
    for (std::string& part : parts) {
        counts_.documents += 1;
        dropped += queue_.push(PendingDocument{std::move(part)});
    }
    if (dropped != 0) {
        counts_.dropped += dropped;
        drops_.fetch_add(dropped, std::memory_order_relaxed);
        log_msg(1, "mqtt: queue full (%zu bytes): dropped %zu scan documents, %llu in all\n",
                limit_, dropped, static_cast<unsigned long long>(counts_.dropped));
    }
}

void DeliveryAccounts::handed(int mid) {
    PendingDocument& doc = queue_.front();
    // At QoS 0 the library may report the message sent before its
    // mosquitto_publish returns.
    if (reported_.erase(mid) != 0) {
        counts_.delivered += 1;
    } else {
        in_flight_[mid] = doc.payload.size();
    }
    counts_.handed += 1;
    std::string spent = queue_.pop_payload();
    std::lock_guard<std::mutex> lock(spare_mutex_);
    if (spares_.size() < spare_count && spare_bytes_ + spent.capacity() <= limit_) {
        spare_bytes_ += spent.capacity();
        spares_.push_back(std::move(spent));
    }
}

std::string DeliveryAccounts::take_spare() {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    // Released once the lock is given back, so declared before it is taken.
    // cppcheck-suppress variableScope
    std::vector<std::string> surplus;
    std::lock_guard<std::mutex> lock(spare_mutex_);
    // A document a while after the last: the backlog the spares were kept
    // for is over, one is enough.
    if (now - last_take_ > spare_idle && spares_.size() > 1) {
        surplus.swap(spares_);
        spares_.push_back(std::move(surplus.back()));
        surplus.pop_back();
        spare_bytes_ = spares_.back().capacity();
    }
    last_take_ = now;
    if (spares_.empty()) {
        return std::string();
    }
    std::string spare = std::move(spares_.back());
    spares_.pop_back();
    spare_bytes_ -= spare.capacity();
    return spare;
}

void DeliveryAccounts::sent(int mid) {
    auto it = in_flight_.find(mid);
    if (it != in_flight_.end()) {
        in_flight_.erase(it);
        counts_.delivered += 1;
    } else if (auto other = std::find(others_.begin(), others_.end(), mid);
               other != others_.end()) {
        *other = others_.back();
        others_.pop_back();
    } else {
        // Reported before its mosquitto_publish returned, or a status message.
        reported_.insert(mid);
    }
}

void DeliveryAccounts::other_handed(int mid) {
    if (reported_.erase(mid) == 0) {
        others_.push_back(int{mid});
    }
}

void DeliveryAccounts::connection_ended(int qos) {
    // The library forgets QoS 0 messages it had not written yet; it keeps
    // QoS 1 messages and sends them again on the next connection.
    if (qos == 0) {
        counts_.lost += in_flight_.size();
        in_flight_.clear();
        others_.clear();
    }
    reported_.clear();
}

void DeliveryAccounts::abandon_in_flight() {
    counts_.lost += in_flight_.size();
    in_flight_.clear();
}

void DeliveryAccounts::print() const {
    log_msg(1,
            "mqtt: %llu scan documents, %llu handed to the broker, %llu delivered, %llu dropped "
            "(queue full), %llu lost in transit, %zu left in the queue\n",
            static_cast<unsigned long long>(counts_.documents),
            static_cast<unsigned long long>(counts_.handed),
            static_cast<unsigned long long>(counts_.delivered),
            static_cast<unsigned long long>(counts_.dropped),
            static_cast<unsigned long long>(counts_.lost), queue_.size());
}
