// The multicast channel's loop callbacks driven directly, without a socket:
// what a datagram coming back to the daemon prints, the trace lines of the
// receive path, and the assertion reports of broken expectations.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <uv.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "console_log.h"
#include "multicast.h"
#include "session.h"

namespace {

struct sockaddr_in sender() {
    struct sockaddr_in a;
    uv_ip4_addr("10.200.0.2", 5566, &a);
    return a;
}

// One datagram as libuv hands it to the daemon: a buffer from alloc_cb,
// filled with `bytes`, then udp_recv_cb with the sender (or none).
void receive(const std::vector<uint8_t>& bytes, bool with_addr = true, unsigned flags = 0,
             ssize_t nread = -2) {
    uv_buf_t buf;
    alloc_cb(nullptr, 64, &buf);
    if (!bytes.empty()) {
        memcpy(buf.base, bytes.data(), bytes.size());
    }
    struct sockaddr_in from = sender();
    udp_recv_cb(nullptr, nread == -2 ? static_cast<ssize_t>(bytes.size()) : nread, &buf,
                with_addr ? reinterpret_cast<const struct sockaddr*>(&from) : nullptr, flags);
}

ChildResult at_verbosity(uint32_t level, const std::function<void()>& body) {
    return run_in_child([&] {
        verbosity = level;
        body();
    });
}

TEST(MulticastReceive, ShortDatagramIsPaddedWithZeros) {
    ChildResult r = at_verbosity(0, [] { receive({0x01, 0x02, 0x03}); });
    EXPECT_EQ(r.out, "01:02:03:00:00:00\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.exited() && r.exit_code() == 0);
}

TEST(MulticastReceive, LongDatagramShowsOnlyItsFirstSixBytes) {
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0xa0 + i);
    }
    EXPECT_EQ(at_verbosity(0, [&] { receive(bytes); }).out, "a0:a1:a2:a3:a4:a5\n");
}

TEST(MulticastReceive, EachReceiveStartsFromAClearedBuffer) {
    // A long datagram of 0xff first: the next short one must not show its
    // leftovers.
    ChildResult r = at_verbosity(0, [] {
        receive(std::vector<uint8_t>(100, 0xff));
        receive({0x01, 0x02, 0x03});
    });
    EXPECT_EQ(r.out, "ff:ff:ff:ff:ff:ff\n01:02:03:00:00:00\n");
}

TEST(MulticastReceive, BufferIsTheWholeStaticAreaWhateverTheSuggestion) {
    ChildResult r = at_verbosity(0, [] {
        uv_buf_t first;
        alloc_cb(nullptr, 1, &first);
        memset(first.base, 0x5a, first.len);
        uv_buf_t second;
        alloc_cb(nullptr, 1 << 20, &second);
        size_t nonzero = 0;
        for (size_t i = 0; i < second.len; ++i) {
            nonzero += second.base[i] != 0;
        }
        printf("%zu %zu %d %zu\n", first.len, second.len, first.base == second.base, nonzero);
    });
    EXPECT_EQ(r.out, "65536 65536 1 0\n");
}

TEST(MulticastReceive, EmptyDatagramPrintsZerosAndNothingToReadPrintsNothing) {
    EXPECT_EQ(at_verbosity(0, [] { receive({}, true); }).out, "00:00:00:00:00:00\n");
    ChildResult r = at_verbosity(0, [] { receive({}, false); });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.exited() && r.exit_code() == 0);
}

TEST(MulticastReceive, PrintMacShowsBytesUnsigned) {
    const unsigned char mac[6] = {0x80, 0x9a, 0xff, 0x00, 0x7f, 0x0c};
    EXPECT_EQ(at_verbosity(0, [&] { print_mac(mac); }).out, "80:9a:ff:00:7f:0c\n");
}

TEST(MulticastTrace, ReceiveTracesFromVerbosityOneAllocationFromThree) {
    const std::string recv_line = "1 vorlask:769:udp_recv_cb(): \n";
    const std::string alloc_line = "3 vorlask:746:alloc_cb(): \n";
    // Two datagrams and one "nothing more to read" call.
    auto run = [](uint32_t level) {
        return at_verbosity(level, [] {
            receive({0x01});
            receive({0x02});
            receive({}, false);
        });
    };
    EXPECT_EQ(run(0).err, "");
    EXPECT_EQ(run(1).err, recv_line + recv_line + recv_line);
    EXPECT_EQ(run(2).err, recv_line + recv_line + recv_line);
    ChildResult r3 = run(3);
    EXPECT_EQ(r3.err, alloc_line + recv_line + alloc_line + recv_line + alloc_line + recv_line);
    EXPECT_EQ(r3.out, "01:00:00:00:00:00\n02:00:00:00:00:00\n");
}

void expect_assertion(const ChildResult& r, const std::string& report) {
    EXPECT_TRUE(r.killed_by(SIGABRT)) << "status " << r.status;
    EXPECT_EQ(r.err, report + "\n");
}

TEST(MulticastAssertions, BadGroupAddressEndsSetUp) {
    ChildResult r = at_verbosity(0, [] {
        NlSession* s = create_session();
        s->options_.mcast_addr = "not-an-address";
        session_use_loop(s, uv_default_loop());
        setup_multicast(s->multicast_, s->loop_, s->options_);
        printf("set-up returned\n");
    });
    expect_assertion(r, "Assertion failed in vorlask on line 419: r == 0");
    EXPECT_EQ(r.out, "");
}

TEST(MulticastAssertions, BrokenReceiveExpectations) {
    expect_assertion(at_verbosity(0, [] { receive({}, true, 0, -104); }),
                     "Assertion failed in vorlask on line 772: 0 && \"unexpected error\"");
    expect_assertion(at_verbosity(0,
                                  [] {
                                      receive({0x01, 0x02}, true, UV_UDP_PARTIAL);
                                  }),
                     "Assertion failed in vorlask on line 781: flags == 0");
    expect_assertion(at_verbosity(0,
                                  [] {
                                      receive({0x01, 0x02}, false);
                                  }),
                     "Assertion failed in vorlask on line 782: addr != NULL");
}

TEST(MulticastAssertions, ReceiveErrorIsReportedAfterTheTrace) {
    ChildResult r = at_verbosity(1, [] { receive({}, true, 0, -1); });
    EXPECT_TRUE(r.killed_by(SIGABRT));
    EXPECT_EQ(r.err,
              "1 vorlask:769:udp_recv_cb(): \n"
              "Assertion failed in vorlask on line 772: 0 && \"unexpected error\"\n");
    EXPECT_EQ(r.out, "");
}

TEST(MulticastAssertions, SendCompletionsWithoutRequest) {
    expect_assertion(at_verbosity(0, [] { report_send_cb(nullptr, 0); }),
                     "Assertion failed in vorlask on line 448: req != NULL");
    expect_assertion(at_verbosity(0, [] { multicast_send_cb(nullptr, 0); }),
                     "Assertion failed in vorlask on line 802: req != NULL");
}

TEST(MulticastSend, ReportCompletionFreesItsRequestWhateverTheStatus) {
    ChildResult r = at_verbosity(3, [] {
        report_send_cb(static_cast<uv_udp_send_t*>(malloc(sizeof(uv_udp_send_t))), 0);
        report_send_cb(static_cast<uv_udp_send_t*>(malloc(sizeof(uv_udp_send_t))), UV_ENETUNREACH);
    });
    EXPECT_TRUE(r.exited() && r.exit_code() == 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
