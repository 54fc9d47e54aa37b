// The daemon's end of the netlink channel to the kernel module: registration
// at start, then one probe record per datagram into the probe queue.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>

#include "loop_handover.h"
#include "probe_queue.h"
#include "session_counters.h"

struct mnl_socket;

// The socket to the kernel module and the loop's watch on it. The poll
// handle carries the channel in its data field; the decoded records go to
// `probe_queue_`, what is lost or turned away to `counters_` (both wired
// when the session is built).
struct KernelChannel {
    uv_poll_t nl_poll_;
    struct mnl_socket* nl_socket_;
    uint32_t nl_seq_;
    ProbeQueue* probe_queue_;
    SessionCounters* counters_;
};

// Opens and binds the netlink socket, has the loop thread watch it through
// `handover`, then sends the registration. Socket failures print the
// system's error text and end the process with status 1. Returns false when
// the daemon stopped before its loop could watch the socket.
bool connect_kernel(KernelChannel& channel, uv_loop_t* loop, LoopHandover& handover);

// Poll callback on the loop thread: drains every pending datagram.
void nl_poll_cb(uv_poll_t* handle, int status, int events);

// Closes the socket (when open); drops are no longer read from it.
void close_kernel_channel(KernelChannel& channel);

struct ProbeRecord;

// The records decoded during one drain, handed to the probe queue a batch at
// a time: one lock per batch instead of per datagram, and the receive worker
// is woken when the drain ends (or once the queue holds a good amount of
// work), not for every batch. Arrival order is kept; what is left is handed
// over, and the worker woken, when the batch is flushed or destroyed.
class RecordBatch {
  public:
    static constexpr size_t capacity = 1024;

    explicit RecordBatch(KernelChannel& channel) : channel_(channel) {}
    ~RecordBatch() { flush(); }
    RecordBatch(const RecordBatch&) = delete;
    RecordBatch& operator=(const RecordBatch&) = delete;

    // Decodes one received datagram into a new record for the queue. Returns
    // false when the datagram holds no probe message or no record could be
    // made (counted as turned away).
    bool take(const uint8_t* data, size_t length);

    // Hands the waiting records to the queue and wakes the worker; frees and
    // counts those the queue turns away. Returns how many the queue took.
    size_t flush() { return hand_over(true); }

  private:
    size_t hand_over(bool wake_now);

    KernelChannel& channel_;
    ProbeRecord* records_[capacity] = {};
    size_t n_ = 0;
    bool unwoken_ = false;  // records were handed over without a wake-up
};

// Decodes one received datagram and queues its record; counts a record the
// queue turns away. Returns true when a record was queued.
bool accept_datagram(KernelChannel& channel, const uint8_t* data, size_t length);

// Probe messages the kernel dropped because our receive queue was full.
uint32_t kernel_drop_count(const KernelChannel& channel);
