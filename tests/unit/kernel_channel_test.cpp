// The receive side of the kernel channel on real netlink sockets: one wake-up
// drains every pending datagram, short ones and those not from the kernel
// give no record, and an error wake-up of the poll is survived.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <vector>

#include "capture.h"
#include "console_log.h"
#include "kernel_channel.h"
#include "session_fixture.h"

namespace {

// The port id whose datagrams this process's receives show as the kernel's
// (port id 0, which no user-space socket can bind), as the port redirect
// preload does for the stand-in in the end-to-end tests; 0 for none.
uint32_t standin_port = 0;

}  // namespace

// The channel's receives go through here: the C library's call, then the
// stand-in's address shown as the kernel's.
extern "C" ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
    const ssize_t n = syscall(SYS_recvmsg, fd, msg, flags);
    if (n >= 0 && standin_port != 0 && msg->msg_name != nullptr &&
        msg->msg_namelen >= sizeof(struct sockaddr_nl)) {
        auto* from = static_cast<struct sockaddr_nl*>(msg->msg_name);
        if (from->nl_family == AF_NETLINK && from->nl_pid == standin_port) {
            from->nl_pid = 0;
        }
    }
    return n;
}

namespace {

class KernelChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(uv_loop_init(&loop_), 0);
        s_ = t_.session;
        s_->loop_ = &loop_;
        s_->kernel_.nl_socket_ = mnl_socket_open(NETLINK_USERSOCK);
        ASSERT_NE(s_->kernel_.nl_socket_, nullptr);
        ASSERT_EQ(mnl_socket_bind(s_->kernel_.nl_socket_, 0, MNL_SOCKET_AUTOPID), 0);
        ASSERT_EQ(uv_poll_init_socket(&loop_, &s_->kernel_.nl_poll_,
                                      mnl_socket_get_fd(s_->kernel_.nl_socket_)),
                  0);
        s_->kernel_.nl_poll_.data = &s_->kernel_;
        kernel_ = mnl_socket_open(NETLINK_USERSOCK);
        ASSERT_NE(kernel_, nullptr);
        ASSERT_EQ(mnl_socket_bind(kernel_, 0, MNL_SOCKET_AUTOPID), 0);
        standin_port = mnl_socket_get_portid(kernel_);
    }
    void TearDown() override {
        uv_close(reinterpret_cast<uv_handle_t*>(&s_->kernel_.nl_poll_), nullptr);
        uv_run(&loop_, UV_RUN_NOWAIT);
        EXPECT_EQ(uv_loop_close(&loop_), 0);
        mnl_socket_close(s_->kernel_.nl_socket_);
        s_->kernel_.nl_socket_ = nullptr;
        mnl_socket_close(kernel_);
        standin_port = 0;
        for (ProbeRecord* r : s_->probe_queue_.take_all()) {
            delete r;
        }
    }
    // From the kernel (the stand-in socket), or from `sender`.
    void send_to_daemon(const std::vector<uint8_t>& bytes, struct mnl_socket* sender = nullptr) {
        struct sockaddr_nl to;
        memset(&to, 0, sizeof to);
        to.nl_family = AF_NETLINK;
        to.nl_pid = mnl_socket_get_portid(s_->kernel_.nl_socket_);
        ASSERT_EQ(sendto(mnl_socket_get_fd(sender != nullptr ? sender : kernel_), bytes.data(),
                         bytes.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    static std::vector<uint8_t> probe(uint8_t tag, size_t length = 32) {
        std::vector<uint8_t> d(length, 0);
        d[0] = static_cast<uint8_t>(length);
        d[16] = tag;
        return d;
    }

    TestSession t_;
    NlSession* s_ = nullptr;
    uv_loop_t loop_;
    struct mnl_socket* kernel_ = nullptr;
};

TEST_F(KernelChannel, OneWakeUpDrainsEveryPendingDatagramInOrder) {
    // Another local process: well-formed probe messages, never records.
    struct mnl_socket* other = mnl_socket_open(NETLINK_USERSOCK);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(mnl_socket_bind(other, 0, MNL_SOCKET_AUTOPID), 0);
    send_to_daemon(probe(1));
    send_to_daemon(probe(9), other);
    send_to_daemon(probe(2, 31));  // too short: dumped, no record
    send_to_daemon(probe(3, 64));
    send_to_daemon(probe(9, 64), other);
    send_to_daemon(probe(4));
    mnl_socket_close(other);
    nl_poll_cb(&s_->kernel_.nl_poll_, 0, UV_READABLE);
    EXPECT_EQ(s_->counters_.not_from_kernel.load(), 2u);
    std::vector<ProbeRecord*> got = s_->probe_queue_.take_all();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]->mac[0], 1);
    EXPECT_EQ(got[1]->mac[0], 3);
    EXPECT_EQ(got[2]->mac[0], 4);
    for (ProbeRecord* r : got) {
        delete r;
    }
    EXPECT_EQ(s_->counters_.queued.load(), 3u);
}

TEST_F(KernelChannel, ADrainOfSeveralBatchesKeepsArrivalOrder) {
    const size_t n = RecordBatch::capacity * 2 + 5;
    // Every datagram must wait in the socket at once: a default receive
    // buffer holds a few hundred, and the sender would block.
    int bytes = 16 << 20;
    if (setsockopt(mnl_socket_get_fd(s_->kernel_.nl_socket_), SOL_SOCKET, SO_RCVBUFFORCE, &bytes,
                   sizeof bytes) != 0) {
        GTEST_SKIP() << "needs CAP_NET_ADMIN to enlarge the receive buffer";
    }
    for (size_t i = 0; i < n; ++i) {
        send_to_daemon(probe(static_cast<uint8_t>(i)));
    }
    nl_poll_cb(&s_->kernel_.nl_poll_, 0, UV_READABLE);
    std::vector<ProbeRecord*> got = s_->probe_queue_.take_all();
    ASSERT_EQ(got.size(), n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(got[i]->mac[0], static_cast<uint8_t>(i)) << "record " << i;
        delete got[i];
    }
    EXPECT_EQ(s_->counters_.queued.load(), n);
    EXPECT_EQ(s_->counters_.queue_full.load(), 0u);
}

TEST_F(KernelChannel, TheEndOfADrainWakesTheWorkerEvenAfterAFullBatch) {
    // Exactly one full batch: it is handed over in the middle of the drain,
    // without a wake-up, and nothing is left for the last hand-over; the
    // worker must still be woken when the drain ends.
    int bytes = 16 << 20;
    if (setsockopt(mnl_socket_get_fd(s_->kernel_.nl_socket_), SOL_SOCKET, SO_RCVBUFFORCE, &bytes,
                   sizeof bytes) != 0) {
        GTEST_SKIP() << "needs CAP_NET_ADMIN to enlarge the receive buffer";
    }
    std::vector<ProbeRecord*> out(RecordBatch::capacity);
    auto popped = std::async(std::launch::async,
                             [&] { return s_->probe_queue_.pop_batch(out.data(), out.size()); });
    for (size_t i = 0; i < RecordBatch::capacity; ++i) {
        send_to_daemon(probe(static_cast<uint8_t>(i)));
    }
    nl_poll_cb(&s_->kernel_.nl_poll_, 0, UV_READABLE);
    const bool woken = popped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    s_->probe_queue_.close();  // releases a worker left waiting
    EXPECT_TRUE(woken) << "the worker was left waiting";
    const size_t n = popped.get();
    EXPECT_EQ(n, woken ? RecordBatch::capacity : 0u);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(out[i]->mac[0], static_cast<uint8_t>(i));
        delete out[i];
    }
}

TEST_F(KernelChannel, RecordsTheQueueRefusesAreFreedAndCounted) {
    // A closed queue takes nothing: every record of the batch is turned away
    // (LeakSanitizer and valgrind see one that is not freed).
    s_->probe_queue_.close();
    {
        RecordBatch batch(s_->kernel_);
        for (uint8_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(batch.take(probe(i).data(), 32));
        }
        EXPECT_FALSE(batch.take(probe(9, 31).data(), 31));
        EXPECT_EQ(batch.flush(), 0u);
        EXPECT_TRUE(batch.take(probe(4).data(), 32));
    }  // the last one is handed over, and refused, as the batch goes
    EXPECT_EQ(s_->counters_.queue_full.load(), 4u);
    EXPECT_EQ(s_->counters_.queued.load(), 0u);
    EXPECT_FALSE(accept_datagram(s_->kernel_, probe(5).data(), 32));
    EXPECT_EQ(s_->counters_.queue_full.load(), 5u);
}

TEST_F(KernelChannel, HexDumpOnlyFromVerbosityFour) {
    auto dump = [&](uint32_t v) {
        return run_in_child([&] {
                   verbosity = v;
                   send_to_daemon(probe(7, 20));
                   nl_poll_cb(&s_->kernel_.nl_poll_, 0, UV_READABLE);
               })
            .out;
    };
    EXPECT_EQ(dump(3), "");
    EXPECT_EQ(dump(4),
              "00000000       14000000 00000000 00000000 00000000       ................\n"
              "00000010       07000000                                  ....            \n");
}

TEST_F(KernelChannel, ErrorWakeUpIsSurvivedAndWatchingResumes) {
    send_to_daemon(probe(9));
    nl_poll_cb(&s_->kernel_.nl_poll_, UV_EBADF, 0);
    EXPECT_EQ(s_->counters_.poll_errors.load(), 1u);
    EXPECT_TRUE(uv_is_active(reinterpret_cast<uv_handle_t*>(&s_->kernel_.nl_poll_)));
    std::vector<ProbeRecord*> got = s_->probe_queue_.take_all();
    ASSERT_EQ(got.size(), 1u);
    delete got[0];
}

TEST_F(KernelChannel, UnexpectedEventsWithoutErrorAbort) {
    auto r = run_in_child([&] { nl_poll_cb(&s_->kernel_.nl_poll_, 0, UV_WRITABLE); });
    EXPECT_TRUE(r.killed_by(SIGABRT));
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "default events = 0x00000002\n");
}

TEST_F(KernelChannel, DropCountStartsAtZero) {
    s_->counters_.nl_fd.store(mnl_socket_get_fd(s_->kernel_.nl_socket_));
    EXPECT_EQ(kernel_drop_count(s_->kernel_), 0u);
}

}  // namespace
