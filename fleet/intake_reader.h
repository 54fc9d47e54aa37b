// The intake's scan documents read off the loop thread: the loop hands each
// message it takes from the broker (a copy of its payload, the access point
// of its topic, its arrival time) to one reader thread, which parses and
// checks the scan documents (scan_part.h) and hands them back in the order
// they came, statuses kept in that order too; the loop merges them into the
// view. The loop keeps every libuv handle: the thread only signals an async
// handle the loop owns. What is handed over and not yet back is bounded: the
// loop stops reading the broker's socket while it is full (full()), and
// `on_room` tells it when there is room again.
#pragma once

#include <uv.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fleet_clock.h"
#include "scan_part.h"

namespace fleet {

struct IntakeMessage {
    bool scan = true;  // else a status
    std::string ap;    // from the topic
    std::string site;  // from the topic, when the collector takes sites
    std::string topic;
    // The payload, followed by scan_payload_padding zero bytes so that the
    // reader thread reads it where it is.
    void set_payload(const char* data, size_t size) {
        payload_.assign(data, size);
        payload_.append(scan_payload_padding, '\0');
    }
    const char* payload() const { return payload_.data(); }
    size_t payload_size() const { return payload_.size() - scan_payload_padding; }
    FleetTime arrival;
    // Set by the reader thread for a scan: whether it read, and what.
    bool read = false;
    ScanPart part;

  private:
    std::string payload_ = std::string(scan_payload_padding, '\0');
};

class IntakeReader {
  public:
    // Messages handed over and not yet back beyond which full() holds.
    static constexpr size_t max_pending = 256;
    static constexpr size_t batch = 16;

    IntakeReader() = default;
    ~IntakeReader();
    IntakeReader(const IntakeReader&) = delete;
    IntakeReader& operator=(const IntakeReader&) = delete;

    // Starts the thread and the loop's async handle; `deliver` is told each
    // message back, in order, on the loop. False when the thread cannot start.
    bool start(uv_loop_t* loop, std::function<void(IntakeMessage&)> deliver);
    // A message to fill in and hand over (its strings keep their room from
    // earlier messages).
    std::unique_ptr<IntakeMessage> message();
    // Handed over in batches (a lock and a wake-up per batch, not per
    // message): flush() sends what was handed over since the last batch.
    void hand_over(std::unique_ptr<IntakeMessage> m);
    void flush();
    bool full() const { return pending_ >= max_pending; }
    std::function<void()> on_room;
    // Ends the thread (what is still handed over is dropped) and closes the
    // async handle; `done` runs on the loop once it is closed.
    void stop(std::function<void()> done);

  private:
    void run();
    void take_back();

    uv_async_t async_{};
    bool started_ = false;
    std::function<void(IntakeMessage&)> deliver_;
    std::function<void()> stopped_;
    size_t pending_ = 0;  // loop thread only
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::deque<std::unique_ptr<IntakeMessage>> todo_, done_, spare_;  // under mutex_
    std::deque<std::unique_ptr<IntakeMessage>> batch_;                // loop thread only
    std::thread thread_;
};

}  // namespace fleet
