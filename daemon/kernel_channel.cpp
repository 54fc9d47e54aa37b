#include "kernel_channel.h"

#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console_log.h"
#include "platform/platform.h"
#include "probe_record.h"

namespace {

// Buffers follow libmnl's rule: the page size, at most 8 KiB.
constexpr size_t max_buffer_size = 8192;
size_t buffer_size() {
    return std::min<size_t>(page_size(), max_buffer_size);
}

struct PollArming {
    KernelChannel* channel;
    uv_loop_t* loop;
};

// On the loop thread: start watching the socket. A failure here means the
// daemon could never hear a probe request, so it is reported and ends the
// process like the other channel set-up failures.
void arm_poll(void* arg) {
    auto* arming = static_cast<PollArming*>(arg);
    KernelChannel& channel = *arming->channel;
    int fd = mnl_socket_get_fd(channel.nl_socket_);
    int r = uv_poll_init_socket(arming->loop, &channel.nl_poll_, fd);
    channel.nl_poll_.data = &channel;
    if (r == 0) {
        r = uv_poll_start(&channel.nl_poll_, UV_READABLE, nl_poll_cb);
    }
    if (r != 0) {
        fprintf(stderr, "uv_poll_start: %s\n", uv_strerror(r));
        quick_exit_flushed(1);
    }
}

void fail(const char* what) {
    perror(what);
    quick_exit_flushed(1);
}

// The kernel's own port id: only datagrams from it are probe messages.
constexpr uint32_t kernel_port_id = 0;

// Receives one datagram and the port id of its sender. A datagram longer than
// the buffer is an error (ENOSPC) and is lost, as with libmnl's receive.
ssize_t receive_datagram(int fd, uint8_t* buf, size_t size, uint32_t& sender) {
    struct sockaddr_nl from;
    memset(&from, 0, sizeof from);
    struct iovec iov;
    iov.iov_base = buf;
    iov.iov_len = size;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) {
        return n;
    }
    if ((msg.msg_flags & MSG_TRUNC) != 0) {
        errno = ENOSPC;
        return -1;
    }
    // An address that is not a netlink one cannot be the kernel's.
    const bool netlink = msg.msg_namelen == sizeof from && from.nl_family == AF_NETLINK;
    sender = netlink ? from.nl_pid : ~kernel_port_id;
    return n;
}

}  // namespace

bool connect_kernel(KernelChannel& channel, uv_loop_t* loop, LoopHandover& handover) {
    // libmnl lays the message out through header pointers into this buffer:
    // aligned for them, since MIPS traps unaligned word stores.
    alignas(struct nlmsghdr) char buf[max_buffer_size];
    memset(buf, 0, buffer_size());
    channel.nl_seq_ = 1;
    build_registration(buf, channel.nl_seq_);
    const struct nlmsghdr* nlh = reinterpret_cast<const struct nlmsghdr*>(buf);

    channel.nl_socket_ = mnl_socket_open(VORLASK_NETLINK_PROTOCOL);
    if (channel.nl_socket_ == nullptr) {
        fail("mnl_socket_open");
    }
    if (mnl_socket_bind(channel.nl_socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
        fail("mnl_socket_bind");
    }
    // A full receive queue then drops silently instead of raising an error on
    // the socket; the drops are still counted by the kernel (kernel_drop_count).
    netlink_no_enobufs(mnl_socket_get_fd(channel.nl_socket_));
    // Connected to the kernel's port, the socket is sent nothing by any other
    // port: the kernel refuses such a unicast before it is queued, so a local
    // process can neither pass itself off as the kernel nor fill the queue.
    // Should the connect fail, the drain's check of the sender still holds.
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = kernel_port_id;
    (void)connect(mnl_socket_get_fd(channel.nl_socket_),
                  reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel);
    channel.counters_->nl_fd.store(mnl_socket_get_fd(channel.nl_socket_));
    // Armed before the registration goes out, so no probe message is missed.
    PollArming arming{&channel, loop};
    if (!handover.call_and_wait(arm_poll, &arming)) {
        return false;  // the daemon stopped before its loop could watch the socket
    }
    if (mnl_socket_sendto(channel.nl_socket_, nlh, nlh->nlmsg_len) < 0) {
        fail("mnl_socket_send");
    }
    return true;
}

void close_kernel_channel(KernelChannel& channel) {
    if (channel.nl_socket_ != nullptr) {
        channel.counters_->nl_fd.store(-1);
        mnl_socket_close(channel.nl_socket_);
        channel.nl_socket_ = nullptr;
    }
}

bool RecordBatch::take(const uint8_t* data, size_t length) {
    ProbeRecord decoded;
    if (!decode_probe_datagram(data, length, decoded)) {
        return false;
    }
    auto* record = new (std::nothrow) ProbeRecord(decoded);
    if (record == nullptr) {
        channel_.counters_->queue_full.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    records_[n_++] = record;
    if (n_ == capacity) {
        hand_over(false);  // more may follow in this drain
    }
    return true;
}

size_t RecordBatch::hand_over(bool wake_now) {
    if (n_ == 0 && !(wake_now && unwoken_)) {
        return 0;  // nothing to hand over and no worker to wake
    }
    // With nothing left to hand over, this still wakes the worker for the
    // batches handed over earlier without a wake-up.
    const size_t taken = channel_.probe_queue_->push_batch(records_, n_, wake_now);
    unwoken_ = !wake_now;
    for (size_t i = taken; i < n_; ++i) {
        delete records_[i];
    }
    if (taken != 0) {
        channel_.counters_->queued.fetch_add(taken, std::memory_order_relaxed);
    }
    if (taken != n_) {
        channel_.counters_->queue_full.fetch_add(static_cast<uint32_t>(n_ - taken),
                                                 std::memory_order_relaxed);
    }
    n_ = 0;
    return taken;
}

bool accept_datagram(KernelChannel& channel, const uint8_t* data, size_t length) {
    RecordBatch batch(channel);
    return batch.take(data, length) && batch.flush() == 1;
}

void nl_poll_cb(uv_poll_t* handle, int status, int events) {
    uint8_t buf[max_buffer_size];
    const size_t size = buffer_size();
    memset(buf, 0, size);
    KernelChannel& channel = *static_cast<KernelChannel*>(handle->data);

    if ((events & UV_READABLE) == 0) {
        if (status >= 0) {
            fprintf(stderr, "default events = 0x%08X\n", static_cast<unsigned>(events));
            abort();
        }
        // An error on the socket, such as an overrun of its receive queue:
        // libuv has stopped watching it. Read on and watch it again.
        channel.counters_->poll_errors.fetch_add(1, std::memory_order_relaxed);
        uv_poll_start(handle, UV_READABLE, nl_poll_cb);
    }

    RecordBatch batch(channel);
    const int fd = mnl_socket_get_fd(channel.nl_socket_);
    for (;;) {
        uint32_t sender = kernel_port_id;
        ssize_t n = receive_datagram(fd, buf, size, sender);
        if (n <= 0) {
            if (n < 0 && errno == ENOBUFS) {
                // The overrun is reported once; what follows is still readable.
                channel.counters_->overrun_errors.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            break;
        }
        if (sender != kernel_port_id) {
            // From another process (to the socket or to a group it was added
            // to), not from the kernel module: no probe request, whatever it
            // holds.
            channel.counters_->not_from_kernel.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        log_hex(4, buf, static_cast<uint32_t>(n));
        batch.take(buf, static_cast<size_t>(n));
    }
}

uint32_t kernel_drop_count(const KernelChannel& channel) {
    const int fd = channel.counters_->nl_fd.load();
    uint32_t drops = 0;
    if (fd >= 0 && socket_drop_count(fd, drops)) {
        return drops;
    }
    return channel.counters_->overrun_errors.load();
}
