#include "intake_reader.h"

#include <cstdio>
#include <system_error>

namespace fleet {

IntakeReader::~IntakeReader() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

bool IntakeReader::start(uv_loop_t* loop, std::function<void(IntakeMessage&)> deliver) {
    deliver_ = std::move(deliver);
    if (uv_async_init(loop, &async_, [](uv_async_t* a) {
            static_cast<IntakeReader*>(a->data)->take_back();
        }) != 0) {
        return false;
    }
    async_.data = this;
    started_ = true;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        fprintf(stderr, "vorlask-fleet: cannot start the reader thread: %s\n", e.what());
        uv_close(reinterpret_cast<uv_handle_t*>(&async_), nullptr);
        started_ = false;
        return false;
    }
    return true;
}

std::unique_ptr<IntakeMessage> IntakeReader::message() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) {
        return std::make_unique<IntakeMessage>();
    }
    std::unique_ptr<IntakeMessage> m = std::move(spare_.back());
    spare_.pop_back();
    return m;
}

void IntakeReader::hand_over(std::unique_ptr<IntakeMessage> m) {
    pending_++;
    batch_.push_back(std::move(m));
    if (batch_.size() >= batch) {
        flush();
    }
}

void IntakeReader::flush() {
    if (batch_.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::unique_ptr<IntakeMessage>& m : batch_) {
            todo_.push_back(std::move(m));
        }
    }
    batch_.clear();
    wake_.notify_one();
}

void IntakeReader::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return ending_ || !todo_.empty(); });
        if (ending_) {
            return;
        }
        std::unique_ptr<IntakeMessage> m = std::move(todo_.front());
        todo_.pop_front();
        lock.unlock();
        if (m->scan) {
            std::string error;
            m->read = parse_padded_scan_part(m->payload(), m->payload_size(), m->part, error);
        }
        lock.lock();
        bool first = done_.empty();
        done_.push_back(std::move(m));
        if (first) {
            uv_async_send(&async_);  // the loop takes back all that is done by then
        }
    }
}

void IntakeReader::take_back() {
    std::deque<std::unique_ptr<IntakeMessage>> back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        back.swap(done_);
    }
    bool was_full = full();
    for (std::unique_ptr<IntakeMessage>& m : back) {
        pending_--;
        if (!stopping_) {  // a delivery may end the intake
            deliver_(*m);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::unique_ptr<IntakeMessage>& m : back) {
            spare_.push_back(std::move(m));
        }
    }
    if (was_full && !full() && !stopping_ && on_room) {
        on_room();
    }
}

void IntakeReader::stop(std::function<void()> done) {
    stopping_ = true;
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    if (!started_) {
        done();
        return;
    }
    stopped_ = std::move(done);
    uv_close(reinterpret_cast<uv_handle_t*>(&async_), [](uv_handle_t* h) {
        auto* self = static_cast<IntakeReader*>(h->data);
        auto d = std::move(self->stopped_);
        d();
    });
}

}  // namespace fleet
